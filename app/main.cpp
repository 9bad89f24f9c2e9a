#include "app/app_base.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR commandLine, int show) {
    return RunApplication(instance, commandLine, show);
}
