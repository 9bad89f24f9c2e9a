#include "base/diagnostic.h"

namespace {

int NoDiagnostics(const wchar_t*, ...) {
    return 0;
}

}  // namespace

DiagnosticPrintFunction DiagnosticPrint = NoDiagnostics;

void InstallDiagnosticPrint(DiagnosticPrintFunction function) {
    DiagnosticPrint = function != nullptr ? function : NoDiagnostics;
}
