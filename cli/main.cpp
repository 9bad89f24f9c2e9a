#include "cli/cli.h"

#ifdef _WIN32
extern "C" int wmain(int argc, wchar_t** argv) {
    return RunCommandLine(argc, argv);
}
#else
int main(int argc, char** argv) {
    return RunCommandLineUtf8(argc, argv);
}
#endif
