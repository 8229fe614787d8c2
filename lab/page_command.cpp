// mnist-lab page: the drawing page (web/) with a model, and the MNIST files of a data folder
// for training in the page, served to this machine only.
//
// The page, its WebAssembly, a copy of the model and links to the data files are put in a
// fresh folder under the temporary directory, which a static file server (Debian's
// cpp-httplib) serves on 127.0.0.1 until Ctrl-C; then the folder is removed. The page computes
// everything itself: the server only hands out files.
#include <httplib.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "image/digit_preparation.h"
#include "lab/lab.h"

namespace {

namespace fs = std::filesystem;

// What the build puts in MNIST_LAB_PAGE_DIR (web/CMakeLists.txt).
const std::vector<std::string> kPageFiles = {
    "index.html", "page.css",        "page.js",    "classifier.js", "classifier.wasm",
    "train.js",   "train_worker.js", "trainer.js", "trainer.wasm",  "trainer.worker.js"};
// The training data the page asks for, each also taken compressed (NAME.gz).
const std::vector<std::string> kDataFiles = {"train-images.idx3-ubyte", "train-labels.idx1-ubyte",
                                             "t10k-images.idx3-ubyte", "t10k-labels.idx1-ubyte"};
constexpr int kDefaultPort = 8000;

struct Options {
  std::string model;        // empty: none, the page trains its own
  std::string data = ".";   // the folder of the MNIST files
  int port = kDefaultPort;  // 0: any free port
};

bool ParseOptions(const std::vector<std::string>& arguments, Options* options) {
  for (size_t i = 0; i < arguments.size(); ++i) {
    if (arguments[i] == "--port" && i + 1 < arguments.size()) {
      const std::string& value = arguments[++i];
      if (value.empty() || value.size() > 5 || value.find_first_not_of("0123456789") != std::string::npos ||
          std::stoi(value) > 65535)
        return false;
      options->port = std::stoi(value);
    } else if (arguments[i] == "--data" && i + 1 < arguments.size() && !arguments[i + 1].empty()) {
      options->data = arguments[++i];
    } else if (options->model.empty() && arguments[i].rfind("--", 0) != 0) {
      options->model = arguments[i];
    } else {
      return false;
    }
  }
  return true;
}

// The name under which the page fetches the model: the file's own name when it needs no
// escaping in a URL and is not one of the page's files, otherwise "model".
std::string ServedName(const std::string& fileName) {
  const std::string name = fs::path(fileName).filename().string();
  const bool plain =
      !name.empty() && name.front() != '.' &&
      name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-") ==
          std::string::npos;
  for (const std::string& pageFile : kPageFiles)
    if (name == pageFile) return "model";
  return plain ? name : "model";
}

// A fresh folder holding the page and the model under `servedName`; empty (with the failure
// printed) when it cannot be made.
fs::path AssembleFolder(const std::string& modelFile, const std::string& servedName) {
  const fs::path pageDir = MNIST_LAB_PAGE_DIR;
  for (const std::string& file : kPageFiles) {
    if (!fs::is_regular_file(pageDir / file)) {
      PrintError("page: " + (pageDir / file).string() +
                 " is missing: the page's WebAssembly is built only where emscripten is installed; "
                 "run scripts/build, which installs it");
      return {};
    }
  }
  std::error_code error;
  std::string folder = (fs::temp_directory_path(error) / "mnist-lab-page.XXXXXX").string();
  if (error || mkdtemp(folder.data()) == nullptr) {
    PrintError("page: cannot make a folder in the temporary directory");
    return {};
  }
  for (const std::string& file : kPageFiles) fs::copy_file(pageDir / file, fs::path(folder) / file, error);
  if (!error && !modelFile.empty()) fs::copy_file(modelFile, fs::path(folder) / servedName, error);
  if (error) {
    PrintError("page: cannot put the page together in " + folder + ": " + error.message());
    fs::remove_all(folder, error);
    return {};
  }
  return folder;
}

// Links the MNIST files of dataDir (plain or .gz) into folder/data and lists their names in
// data/files.json, which the page reads to learn which form to fetch: a request for a file
// that is not there would be an error in the page's console. Returns the names not found.
std::vector<std::string> LinkDataFiles(const fs::path& folder, const fs::path& dataDir) {
  std::error_code error;
  fs::create_directory(folder / "data", error);
  std::vector<std::string> missing;
  std::string listing;
  for (const std::string& name : kDataFiles) {
    std::string found;
    for (const std::string& candidate : {name, name + ".gz"}) {
      if (found.empty() && fs::is_regular_file(dataDir / candidate, error)) found = candidate;
    }
    if (found.empty() ||
        (fs::create_symlink(fs::absolute(dataDir / found, error), folder / "data" / found, error), error)) {
      missing.push_back(name);
      continue;
    }
    listing += (listing.empty() ? "\"" : ", \"") + found + "\"";
  }
  std::ofstream(folder / "data" / "files.json") << "[" << listing << "]\n";
  return missing;
}

// The page trains on threads, which share memory: browsers allow that only to a page that is
// cross-origin isolated, as these headers make it.
httplib::Headers IsolationHeaders() {
  return {{"Cross-Origin-Opener-Policy", "same-origin"}, {"Cross-Origin-Embedder-Policy", "require-corp"}};
}

}  // namespace

int PageCommand(const std::vector<std::string>& arguments, const Settings& settings) {
  Options options;
  if (!ParseOptions(arguments, &options)) {
    PrintError(
        "page: usage: page [MODEL] [--data DIR] [--port N]   (N from 0 to 65535; 0 takes any free port)");
    return 2;
  }
  // The page checks the model too, but a bad file is better refused here than in the browser.
  const std::unique_ptr<Model> model =
      options.model.empty() ? nullptr : ReadModelFile(options.model, settings.threadCount);
  if (!options.model.empty() && model == nullptr) return 1;
  if (model != nullptr &&
      (model->InputSize() != kDigitSide * kDigitSide || model->OutputSize() != DigitCount)) {
    PrintError(options.model + ": the model takes " + std::to_string(model->InputSize()) +
               " inputs and gives " + std::to_string(model->OutputSize()) +
               " outputs, but a digit needs 784 (28 x 28) and 10");
    return 1;
  }
  // Ctrl-C (and a polite kill) are taken by sigwait below rather than ending the process, so
  // that the server stops and the folder goes. Blocked before the folder is made and before any
  // thread starts, so that all threads inherit the mask and no signal leaves the folder behind.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stopSignals, signal);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  const std::string servedName = ServedName(options.model);
  const fs::path folder = AssembleFolder(options.model, servedName);
  if (folder.empty()) return 1;
  const std::vector<std::string> missingData = LinkDataFiles(folder, options.data);

  httplib::Server server;
  server.set_mount_point("/", folder.string());
  server.set_default_headers(IsolationHeaders());
  // cpp-httplib's default, SO_REUSEPORT, would let a second server share a port that is in use
  // (and split the requests between the two); SO_REUSEADDR only allows a quick restart.
  server.set_socket_options([](socket_t socket) {
    const int yes = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  int port = options.port;
  if (port == 0) {
    port = server.bind_to_any_port("127.0.0.1");
  } else if (!server.bind_to_port("127.0.0.1", port)) {
    port = -1;
  }
  if (port <= 0) {
    PrintError("page: cannot listen on 127.0.0.1 port " + std::to_string(options.port) +
               " (in use? choose another with --port N, or --port 0 for any free one)");
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    return 1;
  }
  if (model != nullptr) {
    std::cout << "Serving the page for " << options.model << " (" << DescribeModel(*model) << ")\n";
  } else {
    std::cout << "Serving the page without a model: train one in it, or open a file there\n";
  }
  if (missingData.empty()) {
    std::cout << "Training data: the four MNIST files of " << options.data << "\n";
  } else {
    std::cout << "Training data: " << options.data << " lacks";
    for (const std::string& name : missingData) std::cout << " " << name;
    std::cout << " (also taken as NAME.gz); choose the folder with --data DIR to train in the page\n";
  }
  std::cout << "Open http://127.0.0.1:" << port << "/" << (model != nullptr ? "?model=" + servedName : "")
            << "\n"
            << "Ctrl-C stops it." << std::endl;

  std::atomic<bool> stopping = false;
  std::thread listener([&] {
    const bool listened = server.listen_after_bind();
    if (!stopping) {
      if (!listened) PrintError("page: the server stopped unexpectedly");
      kill(getpid(), SIGTERM);  // wakes the sigwait below
    }
  });
  int signal = 0;
  sigwait(&stopSignals, &signal);
  stopping = true;
  server.stop();
  listener.join();
  std::error_code ignored;
  fs::remove_all(folder, ignored);
  std::cout << "Stopped." << std::endl;
  return 0;
}
