// mnist-lab page against hostile requests, sent as raw bytes over real sockets.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "test_support.h"

namespace {

// mnist-lab page running in the background on a free port, stopped with Ctrl-C at the end.
class PageServer {
 public:
  PageServer(const TemporaryFolder& folder, const std::vector<std::string>& options)
      : errorFile_(folder.Path("page-errors")) {
    int output[2];
    if (pipe(output) != 0) return;
    std::vector<std::string> arguments{"page", "digits.net", "--port", "0"};
    arguments.insert(arguments.end(), options.begin(), options.end());
    pid_ = fork();
    if (pid_ == 0) {
      dup2(output[1], STDOUT_FILENO);
      dup2(open(errorFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
      _exit(ExecExecutable(MNIST_LAB_BINARY, folder, arguments, {}, "mnist-lab"));
    }
    close(output[1]);
    output_ = fdopen(output[0], "r");
    // The last line it prints on starting is "Ctrl-C stops it.": the port is known by then.
    char line[512];
    while (!started_.ends_with("Ctrl-C stops it.\n") && std::fgets(line, sizeof line, output_) != nullptr) {
      started_ += line;
      const std::string text = line;
      const size_t colon = text.find(':', text.find("http://") + 7);
      if (text.starts_with("Open http://")) port_ = std::atoi(text.c_str() + colon + 1);
    }
  }
  ~PageServer() { Stop(); }

  int Port() const { return port_; }
  const std::string& Started() const { return started_; }
  // The server's peak resident memory so far, in kB.
  long PeakKilobytes() const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    for (std::string name, rest; status >> name; std::getline(status, rest))
      if (name == "VmHWM:") return std::stol(rest);
    return -1;
  }
  // Ctrl-C; the exit code, the rest of standard output and all of standard error.
  ChildResult Stop() {
    ChildResult result;
    if (pid_ <= 0) return result;
    kill(pid_, SIGINT);
    char buffer[4096];
    for (size_t count; (count = std::fread(buffer, 1, sizeof buffer, output_)) > 0;)
      result.output.append(buffer, count);
    std::fclose(output_);
    int status = 0;
    if (waitpid(pid_, &status, 0) == pid_ && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    const Bytes errors = ReadFile(errorFile_);
    result.errors.assign(errors.begin(), errors.end());
    pid_ = -1;
    return result;
  }

 private:
  pid_t pid_ = -1;
  std::string errorFile_;
  FILE* output_ = nullptr;
  int port_ = 0;
  std::string started_;
};

int Connect(const std::string& address, int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address.c_str(), &server.sin_addr);
  const timeval patience{60, 0};  // only against a hang: every answer here takes milliseconds
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  if (connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Sends the request (as far as the server takes it) and returns the status code of the answer,
// or "" when none came.
std::string Status(int port, const std::string& request, const std::string& address = "127.0.0.1") {
  const int fd = Connect(address, port);
  for (size_t at = 0; fd >= 0 && at < request.size();) {
    const ssize_t count = send(fd, request.data() + at, request.size() - at, MSG_NOSIGNAL);
    if (count <= 0) break;
    at += size_t(count);
  }
  char answer[13] = {};
  const bool answered = fd >= 0 && recv(fd, answer, 12, MSG_WAITALL) == 12;
  if (fd >= 0) close(fd);
  return answered ? std::string(answer + 9, 3) : "";
}

}  // namespace

TEST(LabPage, RefusesWhatThePageNeverSendsStaysAnsweringAndOpensToANetworkOnlyByHost) {
  TemporaryFolder folder;
  SaveNetworks(folder, {{"digits.net", {784, 10}}});
  PageServer server(folder, {});
  if (server.Port() == 0 &&
      server.Stop().errors.find("is built only where emscripten is installed") != std::string::npos)
    GTEST_SKIP() << "the page's WebAssembly is not built here";
  ASSERT_GT(server.Port(), 0) << server.Started();
  const std::string host = "Host: 127.0.0.1:" + std::to_string(server.Port()) + "\r\n";
  std::string ranges = "Range: bytes=0-9";
  for (int i = 0; i < 1000; ++i) ranges += ",0-1999";
  const std::string port = std::to_string(server.Port()), body(20'000'000, 'x');
  const std::pair<std::string, std::string> cases[] = {
      {"GET / HTTP/1.1\r\n" + host + "\r\n", "200"},
      {"GET /digits.net HTTP/1.1\r\nHost: localhost:" + port + "\r\n\r\n", "200"},
      {"HEAD /classifier.wasm HTTP/1.1\r\n" + host + "\r\n", "200"},
      {"GET /digits.net HTTP/1.1\r\n" + host + "Range: bytes=2-9\r\n\r\n", "206"},
      // Another site's page whose name now leads here (DNS rebinding), no name, another port,
      // no port (which means port 80).
      {"GET /digits.net HTTP/1.1\r\nHost: attacker.example:" + port + "\r\n\r\n", "421"},
      {"GET /digits.net HTTP/1.0\r\n\r\n", "421"},
      {"GET /digits.net HTTP/1.1\r\nHost: 127.0.0.1:1\r\n\r\n", "421"},
      {"GET /digits.net HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", "421"},
      // A thousand ranges would be a thousand copies in one answer.
      {"GET /digits.net HTTP/1.1\r\n" + host + ranges + "\r\n\r\n", "416"},
      // Bodies are never read: 20 MB of one is refused at its header.
      {"POST /digits.net HTTP/1.1\r\n" + host + "Content-Length: 20000000\r\n\r\n" + body, "405"},
      {"GET / HTTP/1.1\r\n" + host + "Content-Length: 20000000\r\n\r\n" + body, "413"},
      {"GET / HTTP/1.1\r\n" + host + "Transfer-Encoding: chunked\r\n\r\n", "413"},
      {"GET /../../../etc/passwd HTTP/1.1\r\n" + host + "\r\n", "404"},
      {"GET /" + folder.Path("digits.net") + " HTTP/1.1\r\n" + host + "\r\n", "404"},
  };
  for (const auto& [request, status] : cases)
    EXPECT_EQ(Status(server.Port(), request), status) << request.substr(0, 80);
  // Clients that stall in the middle of a request each hold a connection of their own.
  std::vector<int> stalled;
  for (int i = 0; i < 100; ++i) {
    stalled.push_back(Connect("127.0.0.1", server.Port()));
    send(stalled.back(), "GET / HTTP/1.1\r\nHo", 18, MSG_NOSIGNAL);
  }
  EXPECT_EQ(Status(server.Port(), "GET / HTTP/1.1\r\n" + host + "\r\n"), "200");
  for (int fd : stalled) close(fd);
  EXPECT_LT(server.PeakKilobytes(), 64 * 1024) << "a refused body or the ranges were held in memory";
  const ChildResult stopped = server.Stop();
  EXPECT_EQ(stopped.exitCode, 0);
  EXPECT_EQ(stopped.output, "Stopped.\n");
  EXPECT_EQ(stopped.errors, "");

  // Opened to a network with --host: a warning, and that address served.
  PageServer opened(folder, {"--host", "127.0.0.2"});
  EXPECT_NE(opened.Started().find("Open http://127.0.0.2:"), std::string::npos) << opened.Started();
  const std::string opening =
      "GET / HTTP/1.1\r\nHost: 127.0.0.2:" + std::to_string(opened.Port()) + "\r\n\r\n";
  EXPECT_EQ(Status(opened.Port(), opening, "127.0.0.2"), "200");
  EXPECT_EQ(Status(opened.Port(), "GET / HTTP/1.1\r\n\r\n", "127.0.0.2"), "421");
  EXPECT_EQ(opened.Stop().errors,
            "mnist-lab: page: listening on 127.0.0.2: anyone who can reach this machine on that network can "
            "open the page and fetch the model\n");
  // Open to every network: loopback is the one address not listed again after the first line.
  PageServer everywhere(folder, {"--host", "0.0.0.0"});
  for (const char* loopback : {"or http://127.0.0.1", "or http://localhost"})
    EXPECT_EQ(everywhere.Started().find(loopback), std::string::npos) << everywhere.Started();
  // A phone cannot open loopback: where this machine is on a network, that address comes first.
  ifaddrs* interfaces = nullptr;
  bool networked = false;
  for (ifaddrs* entry = getifaddrs(&interfaces) == 0 ? interfaces : nullptr; entry; entry = entry->ifa_next)
    networked |=
        entry->ifa_addr && entry->ifa_addr->sa_family == AF_INET && !(entry->ifa_flags & IFF_LOOPBACK);
  freeifaddrs(interfaces);
  EXPECT_TRUE(!networked || everywhere.Started().find("Open http://127.0.0.1:") == std::string::npos)
      << everywhere.Started();
  const std::string local =
      "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(everywhere.Port()) + "\r\n\r\n";
  EXPECT_EQ(Status(everywhere.Port(), local), "200");
  EXPECT_EQ(everywhere.Stop().exitCode, 0);
  const ChildResult refused = RunLab(folder, {"page", "digits.net", "--host", "example.org"});
  EXPECT_EQ(refused.exitCode, 2);
  EXPECT_NE(refused.errors.find("ADDRESS an IPv4 address of this machine"), std::string::npos)
      << refused.errors;
}
