// mnist-lab: the entry point picks the subcommand; each one parses its own arguments.
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "lab/lab.h"
#include "settings/settings.h"

extern char** environ;

namespace {

void PrintUsage() {
  std::cout << "Usage: mnist-lab COMMAND ...\n"
               "  report MODEL [--data DIR] [--out DIR]\n"
               "      accuracy per digit, confusion matrix and most frequent confusions of a network or\n"
               "      ensemble file on the MNIST test set in DIR (default: the working directory); writes\n"
               "      confusion.svg, mistakes.png and report.json to the --out folder (default: report)\n"
               "  classify MODEL IMAGE... [--show] [--json]\n"
               "      the digit in each PNG, JPEG, PGM or BMP picture and the ten scores; --show draws the\n"
               "      28 x 28 input the network sees, --json prints one JSON object per picture\n"
               "  show IDX_IMAGES [INDEX...] [--distorted] [-o FILE.png]\n"
               "      draws the digits at these indices (default: the first 100; at most 300) as a PNG\n"
               "      grid (default digits.png), labelled when the label file lies beside the image file;\n"
               "      --distorted puts 8 copies distorted as MNIST_MLP_DISTORTION says after each digit\n"
               "      (then at most 33 digits)\n"
               "  page [MODEL] [--data DIR] [--port N] [--host ADDRESS]\n"
               "      serves a page on 127.0.0.1 (port 8000, or N; 0: any free one) on which you draw\n"
               "      a digit and watch the model answer, and train a network on the MNIST files of DIR\n"
               "      (default: the working directory) live; Ctrl-C stops the server. --host 0.0.0.0\n"
               "      opens it to the networks of this machine (to draw on a phone)\n";
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc < 2) {
    PrintUsage();
    return 2;
  }
  const std::string command = argv[1];
  const std::vector<std::string> arguments(argv + 2, argv + argc);
  if (command == "help" || command == "--help" || command == "-h") {
    PrintUsage();
    return 0;
  }
  std::string problem;
  const Settings settings = ReadSettings(environ, &problem);
  if (!problem.empty()) {
    PrintError(problem);
    return 2;
  }
  try {
    if (command == "report") return ReportCommand(arguments, settings);
    if (command == "classify") return ClassifyCommand(arguments, settings);
    if (command == "show") return ShowCommand(arguments, settings);
    if (command == "page") return PageCommand(arguments, settings);
  } catch (const std::exception& error) {
    // Out of memory or a broken invariant: one line instead of an abort.
    PrintError(std::string("stopped by an unexpected error: ") + error.what());
    return 1;
  }
  PrintError("unknown command \"" + command + "\"");
  PrintUsage();
  return 2;
}
