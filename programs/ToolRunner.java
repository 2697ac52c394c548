package com.quarn.iot.programs;

import com.example.avbench.MainActivity;
import java.io.PrintStream;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.lang.reflect.Modifier;
import java.lang.reflect.Parameter;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Comparator;
import java.util.List;

/**
 * Runs one media tool of the demo activity from the command line, as the app's
 * button would: {@code ToolRunner <tool> <path>...}. The tool is found by name
 * among MainActivity's native methods; its Android log lines reach the terminal
 * through liblog, which prints them to the unbuffered standard error on the
 * host; its result, when it has one, is printed as {@code result: <value>}.
 *
 * <p>Without arguments it lists the tools. Exit code 0 after a tool ran, 1 when
 * the tool could not run (library or native missing, Java exception) or answered
 * a result other than 0 (its failure), 2 for an unknown tool or a wrong number of
 * paths.
 */
public final class ToolRunner {
    static final int EXIT_OK = 0;
    static final int EXIT_FAILED = 1;
    static final int EXIT_USAGE = 2;

    /** How the user starts this runner; named in every usage line. */
    static final String COMMAND = "make tool ARGS=";

    private ToolRunner() {}

    public static void main(String[] args) {
        System.exit(run(args, System.out, System.err));
    }

    /** Runs the tool named by args[0] with the remaining args as its paths; returns the exit code. */
    static int run(String[] args, PrintStream out, PrintStream err) {
        List<Method> tools = tools();
        if (args.length == 0) {
            listTools(tools, out);
            return EXIT_OK;
        }
        String name = args[0];
        String[] paths = Arrays.copyOfRange(args, 1, args.length);
        Method tool = find(tools, name, paths.length);
        if (tool == null) {
            reportUsage(tools, name, paths.length, err);
            return EXIT_USAGE;
        }
        return invoke(tool, paths, out, err);
    }

    /** MainActivity's native methods whose parameters are all path strings, by name. */
    static List<Method> tools() {
        List<Method> tools = new ArrayList<>();
        for (Method method : MainActivity.class.getDeclaredMethods()) {
            if (Modifier.isNative(method.getModifiers()) && takesOnlyStrings(method)) {
                tools.add(method);
            }
        }
        tools.sort(Comparator.comparing(Method::getName)
                .thenComparingInt(Method::getParameterCount));
        return tools;
    }

    /** True when every parameter is a String (a path). */
    private static boolean takesOnlyStrings(Method method) {
        for (Class<?> type : method.getParameterTypes()) {
            if (type != String.class) return false;
        }
        return true;
    }

    /** The tool of that name taking that many paths, or null. */
    static Method find(List<Method> tools, String name, int pathCount) {
        for (Method tool : tools) {
            if (tool.getName().equals(name) && tool.getParameterCount() == pathCount) return tool;
        }
        return null;
    }

    /** Calls the tool on a new activity and prints its result; the exit code. */
    private static int invoke(Method tool, String[] paths, PrintStream out, PrintStream err) {
        Object result;
        try {
            result = tool.invoke(new MainActivity(), (Object[]) paths);
        } catch (InvocationTargetException e) {
            err.println(tool.getName() + " failed: " + e.getCause());
            return EXIT_FAILED;
        } catch (ReflectiveOperationException | LinkageError e) {
            // LinkageError: the library or this tool's native is missing.
            err.println(tool.getName() + " cannot run: " + e);
            return EXIT_FAILED;
        }
        if (tool.getReturnType() != void.class) out.println("result: " + result);
        out.flush();
        return answeredFailure(result) ? EXIT_FAILED : EXIT_OK;
    }

    /** True when a tool with an int result answered other than 0: its own failure. */
    static boolean answeredFailure(Object result) {
        return result instanceof Integer && (Integer) result != 0;
    }

    /** Prints every tool with its path parameters and result type. */
    static void listTools(List<Method> tools, PrintStream out) {
        out.println("Tools of com.example.avbench.MainActivity; run one with "
                + COMMAND + "\"<tool> <path>...\":");
        for (Method tool : tools) {
            String line = "  " + signature(tool);
            if (tool.getReturnType() != void.class) {
                line = String.format("%-44s -> %s", line, tool.getReturnType().getSimpleName());
            }
            out.println(line);
        }
        out.flush();
    }

    /** Explains why no tool matched, with the usage line of the tool if the name exists. */
    private static void reportUsage(List<Method> tools, String name, int pathCount,
            PrintStream err) {
        List<Method> named = new ArrayList<>();
        for (Method tool : tools) {
            if (tool.getName().equals(name)) named.add(tool);
        }
        if (named.isEmpty()) {
            err.println("unknown tool: " + name);
            err.println("usage: " + COMMAND + "\"<tool> <path>...\"");
            listTools(tools, err);
            return;
        }
        for (Method tool : named) {
            err.println(name + " takes " + paths(tool.getParameterCount()) + ", not "
                    + pathCount);
            err.println("usage: " + COMMAND + "\"" + signature(tool) + "\"");
        }
        err.flush();
    }

    /** "name <param> <param>" with the declared parameter names where the class kept them. */
    static String signature(Method tool) {
        StringBuilder text = new StringBuilder(tool.getName());
        Parameter[] parameters = tool.getParameters();
        for (int i = 0; i < parameters.length; i++) {
            String param = parameters[i].isNamePresent() ? parameters[i].getName() : "path" + (i + 1);
            text.append(" <").append(param).append('>');
        }
        return text.toString();
    }

    /** "no path", "1 path" or "N paths". */
    private static String paths(int count) {
        if (count == 0) return "no path";
        return count + (count == 1 ? " path" : " paths");
    }
}
