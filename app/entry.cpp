#include <new>

#include "app/app_base.h"
#include "base/diagnostic.h"
#include "settings/app_parameter.h"
#include "ui/app_main.h"

int RunApplication(HINSTANCE instance, LPWSTR commandLine, int show) {
    // Diagnostic lines go to the debug-output library when it is there, from the first one on
    // (the settings object writes some while it starts).
    HMODULE trace = LoadLibraryW(L"traceout64.dll");
    if (trace != nullptr) {
        FARPROC print = GetProcAddress(trace, "towprintf");
        if (print != nullptr) {
            InstallDiagnosticPrint(
                reinterpret_cast<DiagnosticPrintFunction>(reinterpret_cast<void*>(print)));
        }
    }

    int exitCode;
    {
        CAppParameter* settings = new (std::nothrow) CAppParameter();
        CAppMain application;
        application.windowMode = kDialogMode;
        application.allowMultipleInstances = 1;
        theApplication = &application;
        exitCode = settings != nullptr ? application.Run(instance, nullptr, commandLine, show) : 0;

        // Nothing is saved here: every setting was saved when it changed.
        delete settings;
        theSettings = nullptr;
        InstallDiagnosticPrint(nullptr);
        if (trace != nullptr) FreeLibrary(trace);
        theApplication = nullptr;
    }  // the application object goes last, with its file list
    return exitCode;
}
