#pragma once

// The program's version, as the window's About box and the command line show it.
constexpr wchar_t kRatemillVersion[] = L"1.0.3.0";
