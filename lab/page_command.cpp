// mnist-lab page: the drawing page (web/) with a model, and the MNIST files of a data folder
// for training in the page, served to this machine (or, with --host, to a network).
//
// The page's files, the model's bytes and the data files are read into memory at the start and served from
// there by Debian's cpp-httplib until Ctrl-C: nothing is written anywhere, so neither a crash
// nor any signal can leave files behind, and no name in a request can reach a file. The page
// computes everything itself: the server only hands out those few files.
//
// What one request may cost is bounded before it reaches the library's handlers: only GET and
// HEAD without a body, one byte range at most, and only for the host names the server printed
// (a page on another site that renames itself to 127.0.0.1 by DNS rebinding gets nothing).
// Slow clients are cut off by short timeouts and cannot take every worker.
#include <arpa/inet.h>
#include <httplib.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lab/lab.h"

namespace {

namespace fs = std::filesystem;

// What the build puts in MNIST_LAB_PAGE_DIR (web/CMakeLists.txt), with the types they are
// served as.
const std::vector<std::pair<std::string, std::string>> kPageFiles = {
    {"index.html", "text/html"},
    {"page.css", "text/css"},
    {"page.js", "text/javascript"},
    {"classifier.js", "text/javascript"},
    {"classifier.wasm", "application/wasm"},
    {"train.js", "text/javascript"},
    {"train_worker.js", "text/javascript"},
    {"trainer.js", "text/javascript"},
    {"trainer.wasm", "application/wasm"},
    {"trainer.worker.js", "text/javascript"}};
// The training data the page asks for, each also taken compressed (NAME.gz).
const std::vector<std::string> kDataFiles = {"train-images.idx3-ubyte", "train-labels.idx1-ubyte",
                                             "t10k-images.idx3-ubyte", "t10k-labels.idx1-ubyte"};
constexpr int kDefaultPort = 8000;
constexpr const char* kLoopback = "127.0.0.1";
constexpr const char* kEveryAddress = "0.0.0.0";
// A connection is dropped after a second without a byte, but one that sends a byte a second
// keeps its thread: every connection gets a thread of its own, up to this many at once.
constexpr size_t kMaxConnectionThreads = 1024;
constexpr time_t kReadTimeoutSeconds = 1;
constexpr time_t kWriteTimeoutSeconds = 5;

struct Options {
  std::string model;       // empty: none, the page trains its own
  std::string data = ".";  // the folder of the MNIST files
  std::string host = kLoopback;
  int port = kDefaultPort;  // 0: any free port
};

bool ParsePort(const std::string& value, int* port) {
  if (value.empty() || value.size() > 5 || value.find_first_not_of("0123456789") != std::string::npos ||
      std::stoi(value) > 65535)
    return false;
  *port = std::stoi(value);
  return true;
}

bool ParseOptions(const std::vector<std::string>& arguments, Options* options) {
  for (size_t i = 0; i < arguments.size(); ++i) {
    const bool hasValue = i + 1 < arguments.size();
    if (arguments[i] == "--port" && hasValue) {
      if (!ParsePort(arguments[++i], &options->port)) return false;
    } else if (arguments[i] == "--host" && hasValue) {
      options->host = arguments[++i];
      in_addr address{};
      if (inet_pton(AF_INET, options->host.c_str(), &address) != 1) return false;
    } else if (arguments[i] == "--data" && hasValue && !arguments[i + 1].empty()) {
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
  for (const auto& [pageFile, type] : kPageFiles)
    if (name == pageFile) return "model";
  return plain ? name : "model";
}

struct ServedFile {
  std::string type;
  std::string bytes;
};
using Site = std::map<std::string, ServedFile>;  // by request path ("/index.html")

// The page's files, read into memory; false (with the failure printed) when one is missing.
bool ReadPage(Site* site) {
  const fs::path pageDir = MNIST_LAB_PAGE_DIR;
  for (const auto& [file, type] : kPageFiles) {
    std::string bytes, message;
    if (!ReadWholeFile((pageDir / file).string(), &bytes, &message)) {
      PrintError("page: " + (pageDir / file).string() + " " + message +
                 ": the page's WebAssembly is built only where emscripten is installed; "
                 "run scripts/build, which installs it");
      return false;
    }
    (*site)["/" + file] = {type, std::move(bytes)};
  }
  (*site)["/"] = site->at("/index.html");
  return true;
}

// A data file is served only when it is no larger than the full MNIST training images: the
// folder is the user's, and a file there should not take the server's memory.
constexpr uintmax_t kMaxDataFileBytes = 64u << 20;

// The MNIST files of dataDir (plain or .gz) under /data/, and their names in /data/files.json,
// which the page reads to learn which form to fetch: a request for a file that is not there
// would be an error in the page's console. Returns the names not found.
std::vector<std::string> ReadDataFiles(const fs::path& dataDir, Site* site) {
  std::vector<std::string> missing;
  std::string listing;
  for (const std::string& name : kDataFiles) {
    std::string found, bytes, message;
    for (const std::string& candidate : {name, name + ".gz"}) {
      std::error_code error;
      const fs::path path = dataDir / candidate;
      if (!found.empty() || !fs::is_regular_file(path, error) ||
          fs::file_size(path, error) > kMaxDataFileBytes)
        continue;
      if (ReadWholeFile(path.string(), &bytes, &message)) found = candidate;
    }
    if (found.empty()) {
      missing.push_back(name);
      continue;
    }
    (*site)["/data/" + found] = {"application/octet-stream", std::move(bytes)};
    listing += (listing.empty() ? "\"" : ", \"") + found + "\"";
  }
  (*site)["/data/files.json"] = {"application/json", "[" + listing + "]\n"};
  return missing;
}

// The page trains on threads, which share memory: browsers allow that only to a page that is
// cross-origin isolated, as these headers make it.
httplib::Headers IsolationHeaders() {
  return {{"Cross-Origin-Opener-Policy", "same-origin"}, {"Cross-Origin-Embedder-Policy", "require-corp"}};
}

// The IPv4 addresses of this machine's network interfaces, loopback included.
std::vector<std::string> InterfaceAddresses() {
  std::vector<std::string> addresses;
  ifaddrs* interfaces = nullptr;
  if (getifaddrs(&interfaces) != 0) return addresses;
  for (const ifaddrs* entry = interfaces; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    char text[INET_ADDRSTRLEN];
    const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
    if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) != nullptr) addresses.push_back(text);
  }
  freeifaddrs(interfaces);
  return addresses;
}

// The addresses the page can be opened at, the first one printed first: 127.0.0.1 and
// localhost, and the --host address (every interface's for 0.0.0.0).
std::vector<std::string> PageHosts(const std::string& host) {
  std::vector<std::string> hosts;
  if (host == kEveryAddress) {
    for (const std::string& address : InterfaceAddresses())
      if (address != kLoopback) hosts.push_back(address);
  } else if (host != kLoopback) {
    hosts.push_back(host);
  }
  hosts.push_back(kLoopback);
  hosts.push_back("localhost");
  return hosts;
}

// Whether the request names one of the hosts with the port: "127.0.0.1:8000" (a browser leaves
// the port out only for port 80).
bool ForThisPage(const httplib::Request& request, const std::vector<std::string>& hosts, int port) {
  const std::string named = request.get_header_value("Host");
  for (const std::string& host : hosts) {
    if (named == host + ":" + std::to_string(port) || (port == 80 && named == host)) return true;
  }
  return false;
}

// The refusals that keep a request cheap, before any handler of the library runs (a request
// body is never read).
httplib::Server::HandlerResponse Screen(const httplib::Request& request, httplib::Response& response,
                                        const std::vector<std::string>& hosts, int port) {
  int status = 0;
  if (request.method != "GET" && request.method != "HEAD") {
    status = 405;
    response.set_header("Allow", "GET, HEAD");
  } else if (request.has_header("Transfer-Encoding") ||
             (request.has_header("Content-Length") && request.get_header_value("Content-Length") != "0")) {
    status = 413;  // the page sends no bodies
  } else if (!ForThisPage(request, hosts, port)) {
    status = 421;
  } else if (request.ranges.size() > 1) {
    status = 416;  // each range would be a copy of the file in one response
  } else {
    return httplib::Server::HandlerResponse::Unhandled;
  }
  response.status = status;
  return httplib::Server::HandlerResponse::Handled;
}

// The server's task queue: a thread for each connection, so that slow ones cannot keep the
// others waiting, up to kMaxConnectionThreads running (the rest wait their turn).
class ThreadPerConnection : public httplib::TaskQueue {
 public:
  void enqueue(std::function<void()> task) override {
    std::unique_lock<std::mutex> lock(mutex_);
    if (running_ == kMaxConnectionThreads) {
      waiting_.push_back(std::move(task));
      return;
    }
    ++running_;
    std::thread([this, task = std::move(task)]() mutable { Run(std::move(task)); }).detach();
  }
  void shutdown() override {
    std::unique_lock<std::mutex> lock(mutex_);
    waiting_.clear();
    idle_.wait(lock, [&] { return running_ == 0; });
  }

 private:
  void Run(std::function<void()> task) {
    for (;;) {
      task();
      std::unique_lock<std::mutex> lock(mutex_);
      if (waiting_.empty()) {
        if (--running_ == 0) idle_.notify_all();
        return;
      }
      task = std::move(waiting_.front());
      waiting_.pop_front();
    }
  }

  std::mutex mutex_;
  std::condition_variable idle_;
  std::deque<std::function<void()>> waiting_;
  size_t running_ = 0;
};

void Configure(httplib::Server& server, const Site& site, const std::vector<std::string>& hosts,
               const int* port) {
  server.new_task_queue = [] { return new ThreadPerConnection(); };
  // One request per connection: a connection never waits idle between requests, and nothing a
  // refused request left unread can be taken for the next one.
  server.set_keep_alive_max_count(1);
  server.set_default_headers(IsolationHeaders());
  server.set_read_timeout(kReadTimeoutSeconds, 0);
  server.set_write_timeout(kWriteTimeoutSeconds, 0);
  server.set_pre_routing_handler(
      [&hosts, port](const httplib::Request& request, httplib::Response& response) {
        return Screen(request, response, hosts, *port);
      });
  server.Get(".*", [&site](const httplib::Request& request, httplib::Response& response) {
    const auto file = site.find(request.path);
    if (file == site.end()) {
      response.status = 404;
    } else {
      // Streamed from the one copy in memory: a response of its own would copy the file for
      // every request at once.
      const std::string& bytes = file->second.bytes;
      response.set_content_provider(bytes.size(), file->second.type.c_str(),
                                    [&bytes](size_t offset, size_t length, httplib::DataSink& sink) {
                                      return sink.write(bytes.data() + offset,
                                                        std::min(length, bytes.size() - offset));
                                    });
    }
  });
  // cpp-httplib's default, SO_REUSEPORT, would let a second server share a port that is in use
  // (and split the requests between the two); SO_REUSEADDR only allows a quick restart.
  server.set_socket_options([](socket_t socket) {
    const int yes = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
}

}  // namespace

int PageCommand(const std::vector<std::string>& arguments, const Settings& settings) {
  Options options;
  if (!ParseOptions(arguments, &options)) {
    PrintError(
        "page: usage: page [MODEL] [--data DIR] [--port N] [--host ADDRESS]   (N from 0 to 65535, 0 "
        "takes any free port; ADDRESS an IPv4 address of this machine, 0.0.0.0 for all)");
    return 2;
  }
  // The page checks the model too, but a bad file is better refused here than in the browser.
  std::string modelBytes;
  const std::unique_ptr<Model> model =
      options.model.empty() ? nullptr : ReadDigitModel(options.model, settings.threadCount, &modelBytes);
  if (!options.model.empty() && model == nullptr) return 1;
  const std::string servedName = ServedName(options.model);
  Site site;
  if (!ReadPage(&site)) return 1;
  if (model != nullptr) site["/" + servedName] = {"application/octet-stream", std::move(modelBytes)};
  const std::vector<std::string> missingData = ReadDataFiles(options.data, &site);

  // Ctrl-C (and a polite kill) are taken by sigwait below rather than ending the process, so
  // that the server stops and says so. Blocked before any thread starts: all inherit the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stopSignals, signal);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  const std::vector<std::string> hosts = PageHosts(options.host);
  int port = options.port;
  httplib::Server server;
  Configure(server, site, hosts, &port);
  if (port == 0) {
    port = server.bind_to_any_port(options.host);
  } else if (!server.bind_to_port(options.host, port)) {
    port = -1;
  }
  if (port <= 0) {
    PrintError("page: cannot listen on " + options.host + " port " + std::to_string(options.port) +
               " (in use? choose another with --port N, or --port 0 for any free one)");
    return 1;
  }
  if (options.host != kLoopback) {
    PrintError("page: listening on " + options.host +
               ": anyone who can reach this machine on that network can open the page and fetch the model");
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
  const std::string query = model != nullptr ? "?model=" + servedName : "";
  std::cout << "Open http://" << hosts.front() << ":" << port << "/" << query << "\n";
  // Every interface's address, when listening on all: which one a phone reaches depends on
  // the network it is on.
  for (size_t i = 1; options.host == kEveryAddress && i + 2 < hosts.size(); ++i)
    std::cout << "  or http://" << hosts[i] << ":" << port << "/" << query << "\n";
  std::cout << "Ctrl-C stops it." << std::endl;

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
  std::cout << "Stopped." << std::endl;
  return 0;
}
