// One client connection: its frames, its objects and its event sinks.
//
// All I/O is readiness-driven (async_wait, then non-blocking reads and writes)
// so that the wait for an event's answer can read and write the same socket
// synchronously, through the same frame buffer and write queue, without racing
// an asynchronous operation that holds a buffer of its own.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include <asio/local/stream_protocol.hpp>

#include "platform/wait_interrupt.h"
#include "core/dispatch.h"
#include "core/registry.h"
#include "server/framing.h"
#include "server/handle_table.h"
#include "server/protocol.h"
#include "server/spin_wait.h"
#include "server/variant_codec.h"

namespace quillon::server {

class Server;

// What later engines of one client hang off; one per connection.
class ConnectionScope : public ClientScope {
 public:
  ConnectionScope(asio::io_context& loop, const WaitInterrupt& interrupt, uint64_t connection_id)
      : ClientScope(loop, &interrupt), connection_id_(connection_id) {}
  uint64_t connection_id() const { return connection_id_; }

 private:
  uint64_t connection_id_;
};

struct PeerCredentials {
  int pid = 0;
  unsigned uid = 0;
};

class Connection : public std::enable_shared_from_this<Connection>, private ObjectMarshal {
 public:
  using Socket = asio::local::stream_protocol::socket;

  // Runs on `loop`, which runs nothing else; `interrupt` ends its blocking
  // waits, and `spin` precedes them.
  Connection(Server& server, asio::io_context& loop, const WaitInterrupt& interrupt, SpinWait& spin, Socket socket,
             uint64_t id, PeerCredentials peer);
  ~Connection() override;

  void Start();
  // Shutdown in two passes over every connection: first no sink is left to
  // receive an event, then the objects end.
  void DropSinks();
  void Close(std::string_view reason);

  // Sends an event to the client and waits for its answer (called by a sink proxy).
  HResult DeliverEvent(uint64_t sink, const MemberInfo& event, std::span<Variant> args);

  uint64_t id() const { return id_; }
  bool closed() const { return closed_; }

 private:
  enum class ReadResult { kDrained, kMore, kClosed };
  enum class AnswerStatus { kAnswered, kTimedOut, kClosed };
  struct Answer {
    AnswerStatus status;
    Json message;
    std::chrono::steady_clock::duration waited;  // for kTimedOut
  };
  struct SinkEntry {
    std::weak_ptr<Dispatch> source;
    uint32_t cookie;
  };
  // Calls and events in progress; what they leave for later runs once the
  // outermost of them has unwound.
  class CallScope;
  // The handles one answer hands out, so an answer too large to send can take them back.
  class ExportLog;

  // Reactions to the socket.
  void ArmRead();
  void OnReadable(std::error_code error);
  void ArmWrite();
  void OnWritable(std::error_code error);
  ReadResult ReadSome();
  bool WriteSome();
  // Whether the socket has something to read now (data, its end or an error).
  bool Readable();

  // Frames and messages.
  bool ServeBuffered(std::optional<int64_t> awaited, Json* answer);
  // The raw bytes that travel after a message's JSON (see framing.h).
  struct Attachments {
    std::string_view received;  // the request's
    std::string reply;          // the answer's; filled only for a client that takes them
  };
  bool ServeFrame(std::string_view body, std::string_view attachment, std::optional<int64_t> awaited,
                  Json* answer);
  void ServeRequest(const Json& id, const std::string& method, const Json& params, std::string_view attachment);
  void ServeNotification(const std::string& method, const Json& params);
  Json Call(const std::string& method, const Json& params, Attachments& attachments);
  Answer AwaitAnswer(int64_t id);
  void OnEventUnwound();

  // The methods.
  static ClientSettings ClientSettingsParam(const Json& params);
  Json OnInitialize(const Json& params);
  Json OnCreate(const Json& params);
  Json OnGetDispId(const Json& params);
  Json OnInvoke(const Json& params, Attachments& attachments);
  Json OnAdvise(const Json& params);
  Json OnUnadvise(const Json& params);
  Json OnRelease(const Json& params);
  Json OnExit(const Json& params);

  std::shared_ptr<Dispatch> ObjectParam(const Json& params);
  void DropSink(uint64_t sink);
  void Release(uint64_t handle, uint64_t count);

  // Sending.
  void SendError(const Json& id, const RpcError& error);
  bool Enqueue(std::string body, std::string attachment = {});

  // Ending.
  void BeginClose(std::string reason);
  void FinishTopLevel();
  void EndDoomedObjects();

  // ObjectMarshal
  uint64_t Export(const Variant::Object& object) override;
  HResult Import(uint64_t handle, Variant::Object* object) override;

  Server& server_;
  asio::io_context& loop_;
  const WaitInterrupt& interrupt_;
  SpinWait& spin_;
  Socket socket_;
  const uint64_t id_;
  const PeerCredentials peer_;
  const std::chrono::steady_clock::time_point opened_ = std::chrono::steady_clock::now();

  FrameReader reader_;
  std::deque<std::string> outbox_;
  size_t out_offset_ = 0;   // bytes of outbox_.front() already written
  size_t out_bytes_ = 0;    // bytes waiting in outbox_
  bool read_armed_ = false;
  bool write_armed_ = false;
  bool reading_paused_ = false;
  bool backlog_ = false;  // complete requests left unserved while answers pile up
  bool write_failed_ = false;

  HandleTable handles_;
  std::unordered_map<uint64_t, SinkEntry> sinks_;
  uint64_t next_sink_ = 1;
  std::unique_ptr<ConnectionScope> scope_;
  std::vector<uint64_t>* export_log_ = nullptr;

  int depth_ = 0;
  std::vector<int64_t> awaiting_;  // events waiting for their answer, innermost last
  std::unordered_map<int64_t, Json> early_answers_;
  std::vector<std::shared_ptr<Dispatch>> doomed_;
  int64_t next_event_id_ = 1;

  // An event went unanswered: every sink was dropped, and events still on their
  // way (to the sinks a raise took before) are not sent, until the next advise.
  bool unresponsive_ = false;
  bool initialized_ = false;
  bool takes_attachments_ = false;  // the client said so at initialize
  bool takes_packed_arrays_ = false;  // likewise
  bool closing_ = false;
  bool closed_ = false;
  std::string close_reason_;
  uint64_t calls_ = 0;
  uint64_t objects_created_ = 0;
};

}  // namespace quillon::server
