#include <memory>
#include <vector>

#include "base/cstring.h"
#include "cli/cli.h"

#ifdef _WIN32
extern "C" int wmain(int argc, wchar_t** argv) {
    return RunCommandLine(argc, argv);
}
#else
int main(int argc, char** argv) {
    // Arguments arrive as UTF-8 bytes; the program works on wide text.
    std::vector<std::unique_ptr<wchar_t[]> > owned;
    std::vector<const wchar_t*> wide;
    for (int i = 0; i < argc; ++i) {
        owned.emplace_back(ToWide(argv[i], -1, kCodePageUtf8));
        wide.push_back(owned.back() ? owned.back().get() : L"");
    }
    return RunCommandLine(argc, wide.data());
}
#endif
