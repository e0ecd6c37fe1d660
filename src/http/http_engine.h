// The HTTP engine: one GET per TCP connection, the reply kept in memory, three
// events. Each client connection has one engine, shared by all of its
// Downloaders; it lives as long as the last of them and runs on the client's
// event loop, so its fields need no locks.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/env.h"
#include "core/memory.h"
#include "core/subscriber_list.h"
#include "http/http_protocol.h"
#include "platform/network_state.h"
#include "platform/host_resolver.h"
#include "platform/socket_layer.h"

namespace quillon::http {

// The file of the current download, as the blocks in which it arrived. The bytes
// it holds are taken from `budget` (none: no limit) and given back by Clear.
class DownloadedFile {
 public:
  explicit DownloadedFile(MemoryBudget* budget = nullptr) : budget_(budget) {}
  DownloadedFile(const DownloadedFile&) = delete;
  DownloadedFile& operator=(const DownloadedFile&) = delete;
  ~DownloadedFile() { Clear(); }

  // Stores a copy of exactly the given bytes; false, storing nothing, when they
  // do not fit the budget.
  bool Append(std::span<const uint8_t> block);
  // Stores a full read buffer as it is, without copying it; false as Append.
  bool Adopt(std::vector<uint8_t> block);
  void Clear();
  const std::vector<std::vector<uint8_t>>& blocks() const { return blocks_; }
  int64_t size() const { return size_; }

 private:
  bool TakeFromBudget(size_t bytes);

  MemoryBudget* budget_;
  std::vector<std::vector<uint8_t>> blocks_;
  int64_t size_ = 0;
};

class HttpEngine : public std::enable_shared_from_this<HttpEngine> {
 public:
  struct Platform {
    std::unique_ptr<SocketLayer> sockets;
    std::unique_ptr<HostResolver> resolver;
    std::unique_ptr<NetworkState> network;
    // The client's view of the files (relative paths start in its working
    // folder); none: the Env the engine is given.
    std::unique_ptr<Env> files;
  };

  // Whoever wants the engine's events. Calls arrive on the event loop, each
  // after the engine's state for it is complete.
  class Listener {
   public:
    virtual ~Listener() = default;
    virtual void OnConnect1(const std::u16string& url) = 0;
    // `download` is the serial of the download that finished (see download_serial).
    virtual void OnFinish1(int32_t code, const std::u16string& text, uint64_t download) = 0;
    virtual void OnDisconnect1() = 0;
    // Not an event: when a request returns and no download runs (none
    // connected, no OnFinish1 under way), so that no Downloader stays busy.
    virtual void OnNothingRunning() {}
  };

  // `download_memory` (none: no limit) is what the downloads of all engines may
  // hold together; a download that would pass it ends as a failed read, with
  // the error "10055" (no buffer space).
  HttpEngine(Env& env, Platform platform, MemoryBudget* download_memory = nullptr);
  ~HttpEngine();
  HttpEngine(const HttpEngine&) = delete;
  HttpEngine& operator=(const HttpEngine&) = delete;

  // Listeners are held weakly and kept alive while an event reaches them.
  uint64_t Subscribe(std::weak_ptr<Listener> listener);
  void Unsubscribe(uint64_t token);

  void set_port(int32_t port) { port_ = port; }
  void set_user_agent(std::u16string agent) { user_agent_ = std::move(agent); }
  int32_t ServerCode1() const { return reply_.code; }
  const std::u16string& ServerString() const { return reply_.reason; }
  const std::u16string& ServerHeader1() const { return reply_.header; }
  bool IsOnline();
  bool IsConnectionProxy();

  // 0 to 6, with the text of a failure in `error`.
  int32_t StartWinsock(std::u16string& error);
  // Connects and sends the request: 0, or a failure code with its text in `error`.
  // An open connection is closed first (raising OnDisconnect1). The latest
  // request wins: one that a handler makes while this one runs holds the
  // connection, and this one then sends nothing and returns 99 with "10038".
  int32_t RequestFile1(std::u16string server, std::u16string file, std::u16string& error);
  // Closes an open connection (OnDisconnect1, no OnFinish1) and stops the sockets.
  void CloseDown();

  int64_t CurSize1() const { return file_.size(); }
  std::u16string CurFileString1() const;
  const std::vector<std::vector<uint8_t>>& CurFileBytes1() const { return file_.blocks(); }
  int32_t WriteTextFile1(const std::u16string& path, bool if_delete, std::u16string& error);
  int32_t WriteBinaryFile1(const std::u16string& path, bool if_delete, std::u16string& error);

  // Counts the connections made: a listener compares it before and after an
  // event to learn whether a new download started meanwhile.
  uint64_t download_serial() const { return download_serial_; }
  bool connected() const { return socket_ > 0; }
  // A download is connected, or its OnFinish1 is being raised.
  bool download_running() const { return socket_ > 0 || finishing_ > 0; }

  // What the socket layer reports for a socket: kNotifyRead or kNotifyClose.
  void OnSocketEvent(SocketHandle socket, int code);

 private:
  int32_t RunRequest(std::u16string server, std::u16string file, std::u16string& error);
  bool GiveWayIfSuperseded(uint64_t request, std::u16string& error) const;
  int32_t OpenConnection(const std::u16string& server, std::u16string& error);
  std::optional<Ipv4Address> ResolveHost(const std::u16string& server);
  bool SendGetRequest(const std::u16string& server, const std::u16string& path, uint64_t request,
                      std::u16string& error);
  int32_t SendText(const std::u16string& text, uint64_t request, std::u16string& error);
  void CloseConnection();
  void ResetDownload();
  void OnRead();
  void OnClose();
  void EndDownload(bool read_failed, int error);
  int ReadBlock(bool split_header, int* error);
  void Finish(int32_t code, const std::u16string& text, uint64_t download);
  int32_t Fail(int32_t id, std::u16string& error, bool with_error_number);
  int32_t Save(const std::u16string& path, bool if_delete, bool as_text, std::u16string& error);

  template <typename Call>
  void Raise(Call call);

  Env& env_;
  Platform platform_;

  SocketHandle socket_ = 0;
  bool winsock_started_ = false;
  bool notify_active_ = false;
  int32_t port_ = 80;
  std::u16string user_agent_ = kDefaultUserAgent;
  ReplyFields reply_;
  DownloadedFile file_;
  uint64_t download_serial_ = 0;
  uint64_t request_serial_ = 0;  // counts RequestFile1 calls, nested ones too
  int finishing_ = 0;            // OnFinish1 raises under way

  SubscriberList<std::weak_ptr<Listener>> listeners_;
};

}  // namespace quillon::http
