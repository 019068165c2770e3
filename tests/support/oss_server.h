#pragma once
// The local object-store server (tools/oss_server.py) for Windows tests
// under Wine.
//
// How it runs: Wine starts a Linux program when CreateProcess is given its
// Linux path, so the helper starts /usr/bin/python3 on the server script
// directly. Wine gives no usable process handle for such a child, so all
// talk goes through files in a private control folder that both sides see:
// the server writes the port it chose to a port file, reads faults.json on
// every request, appends one line per request to requests.log, and exits
// when a file named "stop" appears (the destructor writes it; an idle limit
// ends a server whose test crashed).
//
//   testing_support::OssServerProcess server(root, "kavimor-publish", id, secret);
//   OssClient client(server.endpoint(), id, secret, conf);   // "http://127.0.0.1:<port>"
//   server.SetFaults({{"status", "a.zip", 503, 2}});         // 503 twice
//   auto log = server.RequestLog();                          // what it was asked
//
// `root` is a Windows path (a scratch folder); its files are the bucket's
// objects, keyed by their path relative to it with '/' separators.
#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

struct OssFault {
  std::string kind;        // status, drop, stall, trickle, corrupt, bad_crc, ignore_range, close_framed(_cut)
  std::string key = "*";   // object key, or * for every key
  int64_t value = 0;       // status code, or a byte offset into the body
  int times = 0;           // matching requests affected; 0: all
  double seconds = 0;      // length of a stall
  std::string method = "GET";  // GET, HEAD or *
};

struct OssRequestRecord {
  std::string method;
  std::string key;  // UTF-8, decoded
  std::string query;
  int status = 0;
  std::string code;  // error code, "-" on success
  std::string date;
  std::string contentType;
  std::string range;
  int clientPort = 0;  // the same for every request of one connection
  int64_t bodyBytes = 0;  // body bytes the server sent (logged once they went)
  std::string ifRange;
};

struct OssServerOptions {
  // Linux paths of a PEM certificate chain and key: serve HTTPS.
  std::string tlsCert;
  std::string tlsKey;
};

// A server script of this repository (tools/*.py) run under python3 with
// a private control folder, as described above: --control-dir, --port-file
// and --log-file name places in it, the script writes the port it chose
// there and ends when "stop" appears in it (the destructor writes it, then
// removes the folder).
class ScriptServer {
 public:
  // Makes the control folder, %TEMP%\<name>_<pid>_<n>.
  explicit ScriptServer(const std::string& name);
  ~ScriptServer();
  ScriptServer(const ScriptServer&) = delete;
  ScriptServer& operator=(const ScriptServer&) = delete;

  // Starts `script` (relative to the repository) with `arguments` (quoted
  // already, see Quote) and the control switches, the log file named
  // `logName`; waits up to 20 seconds for its port. False when none came.
  bool Start(const std::string& script, const std::string& arguments, const std::string& logName,
             int idleExitSeconds);
  uint16_t port() const { return port_; }
  // A file of the control folder: its Windows path, or its Linux path.
  std::string File(const std::string& name) const { return folder_ + "\\" + name; }
  std::string UnixFile(const std::string& name) const { return unixFolder_ + "/" + name; }

  static std::string Quote(const std::string& argument) { return "\"" + argument + "\""; }

 private:
  std::string folder_;
  std::string unixFolder_;
  uint16_t port_ = 0;
};

class OssServerProcess {
 public:
  OssServerProcess(const std::string& root, const std::string& bucket, const std::string& keyId,
                   const std::string& keySecret, const OssServerOptions& options = {});
  OssServerProcess(const OssServerProcess&) = delete;
  OssServerProcess& operator=(const OssServerProcess&) = delete;

  // False when the server did not report a port within 20 seconds.
  bool running() const { return server_.port() != 0; }
  uint16_t port() const { return server_.port(); }
  // "http://127.0.0.1:<port>", or "https://127.0.0.1:<port>" with TLS.
  std::string endpoint() const;

  // Replaces every switch and restarts their counts; `clockOffset` moves the
  // server's clock by that many seconds.
  void SetFaults(const std::vector<OssFault>& faults, double clockOffset = 0);
  std::vector<OssRequestRecord> RequestLog() const;
  void ClearLog();

 private:
  ScriptServer server_{"oss_server"};
  bool tls_ = false;
};

// The Linux path of a Windows path, through Wine's own mapping.
std::string UnixPath(const std::string& windowsPath);
// The Windows (Z:) path of a Linux path.
std::string DosPath(const std::string& unixPath);
// The Linux path of a file of this repository (from the build's sources).
std::string RepositoryFile(const std::string& relative);

}  // namespace testing_support
