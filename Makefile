# Front door of the host build: every target installs what is missing,
# configures and builds before it runs anything. On a built tree the package
# check is one dpkg-query and configuring is skipped, so `make tool` and
# `make demo` cost about what the program itself costs.
BUILD      ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS       ?= $(shell nproc)
export JAVA_HOME ?= /usr/lib/jvm/java-17-openjdk-amd64

# The sanitizer + fuzzer build of `make test` and `make fuzz`, and the fuzz smoke's time per target.
FUZZ_BUILD ?= build-fuzz
FUZZ_SMOKE_SECONDS ?= 30
export FUZZ_BUILD

JAVA       = $(JAVA_HOME)/bin/java
# --enable-native-access: JDK 24 on warns when the host programs load the library.
HOST_RUN   = $(JAVA) --enable-native-access=ALL-UNNAMED -cp $(BUILD)/java/qn_host.jar -Djava.library.path=$(BUILD)/lib

.PHONY: all deps configure build test demo tool bench fuzz sanitize soak test-arm64 test-ffmpeg clean

all: build

deps:
	@scripts/install-deps.sh

# Configures only for a new build folder or other settings: once configured,
# `cmake --build` notices edited CMake files and configures again by itself.
CONFIGURE_ARGS = -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS)
configure: deps
	@if [ ! -f $(BUILD)/CMakeCache.txt ] || [ "$$(cat $(BUILD)/configure.args 2>/dev/null)" != '$(CONFIGURE_ARGS)' ]; then \
	  cmake -S . -B $(BUILD) $(CONFIGURE_ARGS) > $(BUILD).configure.log || { cat $(BUILD).configure.log; exit 1; }; \
	  echo '$(CONFIGURE_ARGS)' > $(BUILD)/configure.args; \
	fi

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# Builds only the library and the host jar (with the stand-ins they load), quietly:
# the build's output is shown only when it fails.
QUIET_HOST_BUILD = { [ -f $(BUILD)/java/qn_host.jar ] || echo "Building the library and the host jar (first run only; log: $(BUILD).build.log)"; } && \
	cmake --build $(BUILD) -j $(JOBS) --target qn_host_java > $(BUILD).build.log 2>&1 \
	|| { cat $(BUILD).build.log; exit 1; }

# Every test: unit, JVM and tool tests through CTest; then, in a clang build with
# AddressSanitizer + UBSan, the native tests again and every fuzz target for
# FUZZ_SMOKE_SECONDS from its generated seeds.
test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	@FUZZ_TESTS=1 FUZZ_SECONDS=$(FUZZ_SMOKE_SECONDS) JOBS=$(JOBS) scripts/fuzz.sh

# The live-decode demo; FILE=path/to/stream.h264 (or .h265) decodes your own stream;
# WHOLE=1 feeds one access unit per call with the whole-access-unit switch on;
# GRID=9 plays a camera wall of 9 (1 to 16) streams in 480x270 tiles, one thread each.
demo: configure
	@$(QUIET_HOST_BUILD)
	@$(HOST_RUN) com.quarn.iot.programs.LiveDecodeDemo $(if $(GRID),--grid $(GRID) $(BUILD)/demo,$(if $(WHOLE),--whole) $(BUILD)/demo $(if $(FILE),"$(FILE)"))

# Runs one media tool of the demo activity: make tool ARGS="printFileInfo movie.mp4"
# The build stays quiet, so the tool's lines come first; stdbuf keeps the tools'
# own stdout lines before the result, even in a pipe.
tool: configure
	@$(QUIET_HOST_BUILD)
	@stdbuf -oL $(HOST_RUN) com.quarn.iot.programs.ToolRunner $(ARGS)

bench: deps
	@scripts/bench.sh

fuzz: deps
	@scripts/fuzz.sh

sanitize: deps
	@scripts/sanitize.sh

# The live path through Java for SOAK_MINUTES (default 10); see scripts/soak.sh.
soak: deps
	@BUILD=$(BUILD) scripts/soak.sh

test-arm64:
	@scripts/test-arm64.sh

# The CTest suite again in Debian 13 and Debian unstable roots, each with its own
# FFmpeg, libyuv, compiler and JDK; see scripts/test-ffmpeg.sh.
test-ffmpeg:
	@JOBS=$(JOBS) scripts/test-ffmpeg.sh

clean:
	rm -rf $(BUILD) $(BUILD).configure.log $(BUILD).build.log $(FUZZ_BUILD) $(FUZZ_BUILD).configure.log
