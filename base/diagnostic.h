// The process-wide diagnostic print function: a wide printf ("%s" a wide string, "%d" a 32-bit
// integer). It does nothing and returns 0 until a sink is installed: the debug-output library's
// print function in the window program, stderr in the command line with -v, a recorder in tests.
#pragma once

using DiagnosticPrintFunction = int (*)(const wchar_t* format, ...);

extern DiagnosticPrintFunction DiagnosticPrint;

// Installs a print function; null restores the built-in no-op. Called at start-up and
// shut-down, while no other thread prints.
void InstallDiagnosticPrint(DiagnosticPrintFunction function);
