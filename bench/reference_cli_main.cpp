// ratemill-cli-reference: the command-line converter with the resampler written out literally
// (every weight from its own sine), for the benchmark to measure the program against.
#include "cli/cli.h"
#include "reference/reference_resampler.h"

int main(int argc, char** argv) {
    return RunCommandLineUtf8(argc, argv, reference::MakeReferenceResampler);
}
