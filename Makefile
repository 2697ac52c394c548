# Front door of the host build: every target installs what is missing,
# configures and builds before it runs anything.
BUILD      ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS       ?= $(shell nproc)
export JAVA_HOME ?= /usr/lib/jvm/java-17-openjdk-amd64

JAVA       = $(JAVA_HOME)/bin/java
HOST_RUN   = $(JAVA) -cp $(BUILD)/java/qn_host.jar -Djava.library.path=$(BUILD)/lib

.PHONY: all deps configure build test demo tool bench fuzz sanitize test-arm64 clean

all: build

deps:
	@scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS) > $(BUILD).configure.log || { cat $(BUILD).configure.log; exit 1; }

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# Every test: unit, JVM and tool tests, through CTest.
test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The live-decode demo; FILE=path/to/stream.h264 (or .h265) decodes your own stream.
demo: build
	@$(HOST_RUN) com.quarn.iot.host.LiveDecodeDemo $(BUILD)/demo $(if $(FILE),"$(FILE)")

# Runs one media tool of the demo activity: make tool ARGS="printFileInfo movie.mp4"
# The build stays quiet (its output is shown only when it fails), so the tool's lines
# come first; stdbuf keeps the tools' own stdout lines before the result, even in a pipe.
tool: configure
	@cmake --build $(BUILD) -j $(JOBS) > $(BUILD).build.log 2>&1 || { cat $(BUILD).build.log; exit 1; }
	@stdbuf -oL $(HOST_RUN) com.quarn.iot.host.ToolRunner $(ARGS)

bench: deps
	@scripts/bench.sh

fuzz: deps
	@scripts/fuzz.sh

sanitize: deps
	@scripts/sanitize.sh

test-arm64:
	@scripts/test-arm64.sh

clean:
	rm -rf $(BUILD) $(BUILD).configure.log $(BUILD).build.log
