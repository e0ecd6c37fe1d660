#include "http/http_engine.h"

#include <algorithm>
#include <string>

#include "core/file_checks.h"
#include "core/atomic_save.h"
#include "core/ipv4_text.h"
#include "core/memory.h"
#include "core/text.h"
#include "platform/process_memory.h"

namespace quillon::http {
namespace {

// A request the socket will not take within this time is given up (10060); the
// same bound the connection itself has.
constexpr std::chrono::seconds kSendLimit(21);

constexpr Ipv4Address kBroadcast{255, 255, 255, 255};

std::u16string Decimal(int64_t number) { return AsciiToText(std::to_string(number)); }

// A download this large, once let go, has its pages handed back to the system:
// its blocks were allocated among the loop's own small allocations, and the
// server would otherwise keep the memory of its largest download for good.
constexpr int64_t kLargeDownload = int64_t{4} << 20;

}  // namespace

bool DownloadedFile::TakeFromBudget(size_t bytes) {
  return budget_ == nullptr || budget_->Take(static_cast<int64_t>(bytes));
}

bool DownloadedFile::Append(std::span<const uint8_t> block) {
  if (block.empty()) return true;
  if (!TakeFromBudget(block.size())) return false;
  // Short reads join the last short block: a peer that trickles its body a byte
  // per segment would otherwise cost a block, its allocation and its entry here
  // for every byte, some fifty times what it sends.
  if (!blocks_.empty() && blocks_.back().size() + block.size() <= kReadBlockSize) {
    blocks_.back().insert(blocks_.back().end(), block.begin(), block.end());
  } else {
    blocks_.emplace_back(block.begin(), block.end());
  }
  size_ += static_cast<int64_t>(block.size());
  return true;
}

bool DownloadedFile::Adopt(std::vector<uint8_t> block) {
  if (block.empty()) return true;
  if (!TakeFromBudget(block.size())) return false;
  size_ += static_cast<int64_t>(block.size());
  blocks_.push_back(std::move(block));
  return true;
}

void DownloadedFile::Clear() {
  const bool large = size_ >= kLargeDownload;
  if (budget_ != nullptr) budget_->Give(size_);
  blocks_ = {};
  size_ = 0;
  if (large) ReturnFreeMemory();
}

HttpEngine::HttpEngine(Env& env, Platform platform, MemoryBudget* download_memory)
    : env_(platform.files ? *platform.files : env), platform_(std::move(platform)), file_(download_memory) {}

HttpEngine::~HttpEngine() {
  // Nobody is left to hear OnDisconnect1: the listeners keep the engine alive.
  if (socket_ > 0) {
    if (notify_active_) platform_.sockets->Unwatch(socket_);
    platform_.sockets->Close(socket_);
    socket_ = 0;
  }
  file_.Clear();
  if (winsock_started_) platform_.sockets->Cleanup();
}

uint64_t HttpEngine::Subscribe(std::weak_ptr<Listener> listener) { return listeners_.Add(std::move(listener)); }

void HttpEngine::Unsubscribe(uint64_t token) { listeners_.Remove(token); }

template <typename Call>
void HttpEngine::Raise(Call call) {
  // A handler may drop the last Downloader, and with it the engine, while the
  // event is still on its way to the others.
  const std::shared_ptr<HttpEngine> keep = weak_from_this().lock();
  listeners_.DeliverToEach([&](const std::weak_ptr<Listener>& subscribed) {
    if (const std::shared_ptr<Listener> listener = subscribed.lock()) call(*listener);
  });
}

bool HttpEngine::IsOnline() { return platform_.network->IsOnline(); }

bool HttpEngine::IsConnectionProxy() { return platform_.network->IsConnectionProxy(); }

int32_t HttpEngine::StartWinsock(std::u16string& error) {
  if (winsock_started_) return 0;
  const int result = platform_.sockets->Startup();
  if (result == 0) {
    winsock_started_ = true;
    return 0;
  }
  return StartupFailure(result, &error);
}

int32_t HttpEngine::RequestFile1(std::u16string server, std::u16string file, std::u16string& error) {
  const int32_t result = RunRequest(std::move(server), std::move(file), error);
  // Whatever the request and the handlers it woke did, a Downloader is busy
  // only while there is a download to wait for.
  if (!download_running()) Raise([](Listener& listener) { listener.OnNothingRunning(); });
  return result;
}

int32_t HttpEngine::RunRequest(std::u16string server, std::u16string file, std::u16string& error) {
  const uint64_t request = ++request_serial_;
  // One connection slot: a socket left open here would leak and keep notifying.
  if (socket_ > 0) CloseConnection();
  if (GiveWayIfSuperseded(request, error)) return code::kSendFailed;
  ResetDownload();

  const int32_t target = NormaliseTarget(server, file);
  if (target != 0) {
    error = std::u16string(EngineText(target));
    return target;
  }

  const int32_t opened = OpenConnection(server, error);
  if (GiveWayIfSuperseded(request, error)) return code::kSendFailed;
  if (opened != code::kConnected) return opened;

  std::u16string send_error;
  if (!SendGetRequest(server, file, request, send_error)) {
    error = send_error;
    return code::kSendFailed;
  }
  return code::kSent;
}

bool HttpEngine::GiveWayIfSuperseded(uint64_t request, std::u16string& error) const {
  // A handler of an event this request raised made a request of its own; that
  // one holds the connection now, and this one must neither reset nor use it.
  if (request_serial_ == request) return false;
  error = Decimal(wsa::kNotSocket);
  return true;
}

void HttpEngine::CloseDown() {
  if (socket_ > 0) CloseConnection();
  if (winsock_started_) {
    platform_.sockets->Cleanup();
    winsock_started_ = false;
  }
}

std::u16string HttpEngine::CurFileString1() const {
  if (file_.size() == 0) return u"";
  return JoinAsText(file_.blocks());
}

int32_t HttpEngine::WriteTextFile1(const std::u16string& path, bool if_delete, std::u16string& error) {
  return Save(path, if_delete, true, error);
}

int32_t HttpEngine::WriteBinaryFile1(const std::u16string& path, bool if_delete, std::u16string& error) {
  return Save(path, if_delete, false, error);
}

void HttpEngine::OnSocketEvent(SocketHandle socket, int code) {
  // A notification queued for a connection that has since closed belongs to no
  // download; handling it would finish the current one a second time.
  if (socket_ <= 0 || socket != socket_) return;
  if (code == kNotifyRead) {
    OnRead();
  } else if (code == kNotifyClose) {
    OnClose();
  }
}

int32_t HttpEngine::OpenConnection(const std::u16string& server, std::u16string& error) {
  error.clear();
  SocketLayer& sockets = *platform_.sockets;
  if (!IsOnline()) return Fail(code::kNotOnline, error, false);
  if (IsConnectionProxy()) return Fail(code::kViaProxy, error, false);
  if (server.empty()) return Fail(code::kServerMissing, error, false);

  socket_ = sockets.Open();
  if (socket_ <= 0) {
    socket_ = -1;
    return Fail(code::kSocketFailed, error, true);
  }

  const std::optional<Ipv4Address> address = ResolveHost(server);
  if (!address || *address == kBroadcast) {
    sockets.Close(socket_);
    socket_ = 0;
    return Fail(code::kResolveFailed, error, false);
  }

  sockets.ClearLastError();
  if (sockets.Connect(socket_, *address, static_cast<uint16_t>(port_ & 0xFFFF)) != 0) {
    const int32_t result = Fail(code::kConnectFailed, error, true);
    sockets.Close(socket_);
    socket_ = 0;
    return result;
  }

  sockets.ClearLastError();
  const int watched = sockets.Watch(socket_, [weak = weak_from_this()](SocketHandle socket, int event) {
    if (const std::shared_ptr<HttpEngine> self = weak.lock()) self->OnSocketEvent(socket, event);
  });
  if (watched == -1) {
    const int32_t result = Fail(code::kSelectFailed, error, true);
    sockets.Close(socket_);
    socket_ = 0;
    return result;
  }

  notify_active_ = true;
  ++download_serial_;
  Raise([&](Listener& listener) { listener.OnConnect1(server); });
  return code::kConnected;
}

std::optional<Ipv4Address> HttpEngine::ResolveHost(const std::u16string& server) {
  // An address in any form the platform reads (127.1, 0x7f.1, 2130706433) is
  // used as it is: a DNS server is never asked about one.
  if (const std::optional<uint32_t> number = ParseIPv4Text(server)) {
    return Ipv4Address{static_cast<uint8_t>(*number >> 24), static_cast<uint8_t>(*number >> 16),
                       static_cast<uint8_t>(*number >> 8), static_cast<uint8_t>(*number)};
  }
  return platform_.resolver->Resolve(TextToAnsi(server));
}

bool HttpEngine::SendGetRequest(const std::u16string& server, const std::u16string& path, uint64_t request,
                                std::u16string& error) {
  std::u16string text_error;
  if (SendText(RequestText(path, server, user_agent_), request, text_error) != 0) {
    error = text_error;
    return false;
  }
  return true;
}

int32_t HttpEngine::SendText(const std::u16string& text, uint64_t request, std::u16string& error) {
  if (text.empty()) return 0;
  const std::vector<uint8_t> bytes = TextToAnsiBytes(text);
  SocketLayer& sockets = *platform_.sockets;
  const MonotonicTime deadline = env_.NowMonotonic() + kSendLimit;

  // The whole request must go: a request cut short, or one counted as sent when
  // the socket would have blocked, leaves the server waiting and the download
  // hanging for ever.
  size_t offset = 0;
  while (offset < bytes.size()) {
    // OnConnect1 handlers run before this; one of them may have closed the
    // connection or made a request of its own.
    if (socket_ <= 0 || request_serial_ != request) {
      error = Decimal(wsa::kNotSocket);
      return -1;
    }
    const int sent = sockets.Send(socket_, std::span<const uint8_t>(bytes).subspan(offset));
    if (sent > 0) {
      offset += static_cast<size_t>(sent);
      continue;
    }
    const int failure = sent < 0 ? sockets.LastError() : wsa::kWouldBlock;
    if (failure != wsa::kWouldBlock) {
      error = Decimal(failure);
      return -1;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - env_.NowMonotonic());
    if (left.count() <= 0) {
      error = Decimal(wsa::kTimedOut);
      return -1;
    }
    if (!sockets.WaitWritable(socket_, left)) {
      error = Decimal(sockets.LastError());
      return -1;
    }
  }
  return 0;
}

void HttpEngine::CloseConnection() {
  if (socket_ <= 0) return;
  if (notify_active_) {
    platform_.sockets->Unwatch(socket_);
    notify_active_ = false;
  }
  platform_.sockets->Close(socket_);
  socket_ = 0;
  Raise([](Listener& listener) { listener.OnDisconnect1(); });
}

void HttpEngine::ResetDownload() {
  reply_ = ReplyFields{};
  file_.Clear();
}

// One recv of up to a block; what arrived is stored. Returns the bytes read, 0
// when the peer has closed, or -1 with the failure's number in `error`.
int HttpEngine::ReadBlock(bool split_header, int* error) {
  // The read goes straight into the buffer that will be stored: a full block,
  // the usual case while a file streams in, is kept without a copy. A shorter
  // one is copied to its own length, so the file never holds unused room.
  std::vector<uint8_t> buffer(kReadBlockSize);
  const int received = platform_.sockets->Recv(socket_, buffer);
  if (received < 0) *error = platform_.sockets->LastError();
  if (received <= 0) return received;
  const std::span<const uint8_t> block(buffer.data(), static_cast<size_t>(received));
  const size_t header = split_header ? SplitHeader(block, reply_) : 0;
  const bool stored = header == 0 && block.size() == buffer.size() ? file_.Adopt(std::move(buffer))
                                                                   : file_.Append(block.subspan(header));
  if (!stored) {
    // Past what the downloads of the process may hold: the download ends here,
    // as a read that found no buffer space, with what came before kept.
    *error = wsa::kNoBufferSpace;
    return -1;
  }
  return received;
}

void HttpEngine::OnRead() {
  int error = 0;
  const int received = ReadBlock(true, &error);
  if (received > 0) return;
  // Woken without data: not an end, the next notification will come.
  if (received < 0 && error == wsa::kWouldBlock) return;
  EndDownload(received < 0, error);
}

void HttpEngine::OnClose() {
  int received = 0;
  int error = 0;
  for (;;) {
    received = ReadBlock(false, &error);
    if (received <= 0) break;
  }
  // Drained: nothing more is coming.
  if (received < 0 && error == wsa::kWouldBlock) received = 0;
  EndDownload(received < 0, error);
}

void HttpEngine::EndDownload(bool read_failed, int error) {
  // Taken before the close: an OnDisconnect1 handler may start the next request.
  const int32_t code = read_failed ? -1 : reply_.code;
  const std::u16string text = read_failed ? Decimal(error) : reply_.reason;
  const uint64_t download = download_serial_;
  CloseConnection();
  Finish(code, text, download);
}

void HttpEngine::Finish(int32_t code, const std::u16string& text, uint64_t download) {
  ++finishing_;
  Raise([&](Listener& listener) { listener.OnFinish1(code, text, download); });
  --finishing_;
}

int32_t HttpEngine::Fail(int32_t id, std::u16string& error, bool with_error_number) {
  error = std::u16string(EngineText(id));
  if (with_error_number) error += Decimal(platform_.sockets->LastError());
  return id;
}

int32_t HttpEngine::Save(const std::u16string& path_text, bool if_delete, bool as_text, std::u16string& error) {
  std::string path;
  const Status named = PathFromText(path_text, &path);
  // A symbolic link at the path counts as a file there, even one that leads
  // nowhere: saving through it would create or replace a file elsewhere.
  if (named.ok() && PathTaken(env_, path)) {
    if (!if_delete) {
      error = u"File exists";
      return 1;
    }
    // With content to write, the rename below replaces the file; removing it now
    // would lose it if the save then failed, and would replace a link instead
    // of the file it points to.
    if (file_.size() == 0) (void)env_.RemoveFile(path);
  }
  if (file_.blocks().empty() || file_.size() == 0) {
    error = u"Current file has no content";
    return 2;
  }
  if (!named.ok()) {
    error = named.description();
    return named.number();
  }

  // The binary save writes the blocks as they are: joining them first would hold
  // the file in memory twice.
  const Status saved = as_text ? SaveFileAtomically(env_, path, JoinAsTextBytes(file_.blocks()))
                               : SavePiecesAtomically(env_, path, file_.blocks());
  if (!saved.ok()) {
    error = saved.description();
    return saved.number();
  }
  error.clear();
  return 0;
}

}  // namespace quillon::http
