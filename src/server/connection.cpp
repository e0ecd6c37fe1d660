#include "server/connection.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <optional>
#include <unordered_set>

#include <asio/post.hpp>

#include "core/events.h"
#include "core/host.h"
#include "core/text.h"
#include "platform/posix/poll_wait.h"
#include "server/json_writer.h"
#include "server/server.h"

namespace quillon::server {
namespace {

constexpr size_t kReadChunk = 64 * 1024;
// Reads per turn before other connections get theirs.
constexpr int kReadBurst = 16;
// A client that sends requests without reading the answers stops being read.
constexpr size_t kPauseReadingAbove = size_t{64} << 20;
constexpr size_t kResumeReadingBelow = size_t{16} << 20;
// Events raised from handlers of events raised from handlers... stop here.
constexpr size_t kMaxEventDepth = 16;
// A client that keeps calling while an event waits for its answer restarts the
// event's clock, but an event never waits longer than this many time-outs.
constexpr int kEventWaitLimitFactor = 4;
constexpr size_t kGatherBuffers = 16;

std::string Dump(const Json& message) { return DumpJson(message); }

std::string SecondsText(std::chrono::steady_clock::duration duration) {
  const double seconds = std::chrono::duration<double>(duration).count();
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", seconds);
  return text;
}

bool IsHandle(const Json& value) {
  return value.is_number_unsigned() || (value.is_number_integer() && value.get<int64_t>() >= 0);
}

RpcError WithDetail(RpcError error, const std::string& detail) {
  if (!detail.empty()) error.message += ": " + detail;
  return error;
}

// The client's end of an event interface: each event becomes a request to the
// client, answered before the raising member goes on.
class SinkProxy final : public Dispatch {
 public:
  // `wanted`: the events the client handles; without it, every event goes.
  SinkProxy(std::weak_ptr<Connection> connection, uint64_t sink, const InterfaceInfo& events,
            std::optional<std::unordered_set<DispId>> wanted)
      : connection_(std::move(connection)),
        sink_(sink),
        class_{events.name, "", false, "", events},
        wanted_(std::move(wanted)) {}

  const ClassInfo& Class() const override { return class_; }

  HResult Invoke(DispId dispid, uint16_t flags, std::span<Variant> args, Variant* result,
                 ExceptionInfo*) override {
    const MemberInfo* event = class_.interface.FindById(dispid);
    if (event == nullptr || (flags & kDispatchMethod) == 0) return hr::kMemberNotFound;
    if (result != nullptr) *result = Variant();
    // An event the client has no handler for would cost a round trip for an
    // answer that changes nothing, with every other client waiting meanwhile.
    if (wanted_ && !wanted_->contains(dispid)) return hr::kOk;
    std::shared_ptr<Connection> connection = connection_.lock();
    if (!connection) return hr::kRpcDisconnected;
    return connection->DeliverEvent(sink_, *event, args);
  }

 private:
  std::weak_ptr<Connection> connection_;
  uint64_t sink_;
  ClassInfo class_;
  std::optional<std::unordered_set<DispId>> wanted_;
};

}  // namespace

class Connection::CallScope {
 public:
  explicit CallScope(Connection& connection) : connection_(connection) { ++connection_.depth_; }
  ~CallScope() { --connection_.depth_; }
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

 private:
  Connection& connection_;
};

class Connection::ExportLog {
 public:
  explicit ExportLog(Connection& connection) : connection_(connection), outer_(connection.export_log_) {
    connection_.export_log_ = &handles_;
  }
  ~ExportLog() { connection_.export_log_ = outer_; }
  ExportLog(const ExportLog&) = delete;
  ExportLog& operator=(const ExportLog&) = delete;

  // The answer that carried these handles never left: the client does not hold them.
  void TakeBack() {
    for (uint64_t handle : handles_) connection_.Release(handle, 1);
    handles_.clear();
  }

 private:
  Connection& connection_;
  std::vector<uint64_t>* outer_;
  std::vector<uint64_t> handles_;
};

Connection::Connection(Server& server, asio::io_context& loop, const WaitInterrupt& interrupt, SpinWait& spin,
                       Socket socket, uint64_t id, PeerCredentials peer)
    : server_(server),
      loop_(loop),
      interrupt_(interrupt),
      spin_(spin),
      socket_(std::move(socket)),
      id_(id),
      peer_(peer),
      reader_(server.options().max_frame) {}

Connection::~Connection() = default;

void Connection::Start() {
  std::error_code ignored;
  socket_.non_blocking(true, ignored);
  scope_ = std::make_unique<ConnectionScope>(loop_, interrupt_, id_);
  server_.OnConnectionOpened();
  ArmRead();
}

// ---------------------------------------------------------------------------
// Reactions to the socket

void Connection::ArmRead() {
  if (read_armed_ || closing_ || reading_paused_) return;
  read_armed_ = true;
  socket_.async_wait(Socket::wait_read, [self = shared_from_this()](std::error_code error) { self->OnReadable(error); });
}

void Connection::OnReadable(std::error_code error) {
  read_armed_ = false;
  if (closed_ || error == asio::error::operation_aborted) return;
  // Requests left waiting while answers piled up are served before anything
  // more is read; what is still unread is taken on a later turn.
  const ReadResult result = error ? ReadResult::kClosed : backlog_ ? ReadResult::kMore : ReadSome();
  ServeBuffered(std::nullopt, nullptr);
  if (result == ReadResult::kClosed) BeginClose("closed by the client");
  FinishTopLevel();
  if (closing_) return;
  if (out_bytes_ > kPauseReadingAbove) {
    reading_paused_ = true;
  } else if (result == ReadResult::kMore) {
    // More is waiting; take it on a later turn so other connections get theirs.
    read_armed_ = true;
    asio::post(loop_, [self = shared_from_this()] { self->OnReadable({}); });
  } else {
    ArmRead();
  }
}

void Connection::ArmWrite() {
  if (write_armed_ || closed_ || outbox_.empty()) return;
  write_armed_ = true;
  spin_.set_waiting_to_write(true);
  socket_.async_wait(Socket::wait_write, [self = shared_from_this()](std::error_code error) { self->OnWritable(error); });
}

void Connection::OnWritable(std::error_code error) {
  write_armed_ = false;
  spin_.set_waiting_to_write(false);
  if (closed_ || error == asio::error::operation_aborted) return;
  if (error || !WriteSome()) {
    BeginClose("the client stopped reading");
    FinishTopLevel();
    return;
  }
  ArmWrite();
  if (reading_paused_ && out_bytes_ < kResumeReadingBelow && !closing_) {
    reading_paused_ = false;
    read_armed_ = true;
    asio::post(loop_, [self = shared_from_this()] { self->OnReadable({}); });
  } else if (backlog_ && out_bytes_ < kResumeReadingBelow && !closing_) {
    // Left waiting outside OnReadable (behind an event), with a read armed.
    asio::post(loop_, [self = shared_from_this()] { self->OnEventUnwound(); });
  }
}

Connection::ReadResult Connection::ReadSome() {
  for (int turn = 0; turn < kReadBurst; ++turn) {
    const std::span<char> room = reader_.Reserve(kReadChunk);
    std::error_code error;
    const size_t got = socket_.read_some(asio::buffer(room.data(), room.size()), error);
    if (error == asio::error::would_block || error == asio::error::try_again) return ReadResult::kDrained;
    if (error == asio::error::interrupted) continue;
    if (error) return ReadResult::kClosed;  // end of stream included
    reader_.Commit(got);
    // Less than asked for: the socket is empty, and what arrives next raises
    // readiness anew (asking again would cost a call that only says so).
    if (got < room.size()) return ReadResult::kDrained;
  }
  return ReadResult::kMore;
}

bool Connection::Readable() {
  pollfd watch{socket_.native_handle(), POLLIN, 0};
  return ::poll(&watch, 1, 0) > 0;
}

// Writes until the socket would block: the readiness notification only comes
// again once the socket's buffer has been filled.
bool Connection::WriteSome() {
  if (write_failed_) return false;
  while (!outbox_.empty()) {
    std::array<asio::const_buffer, kGatherBuffers> buffers;
    size_t count = 0;
    for (auto it = outbox_.begin(); it != outbox_.end() && count < kGatherBuffers; ++it, ++count) {
      buffers[count] = asio::buffer(*it) + (count == 0 ? out_offset_ : 0);
    }
    std::error_code error;
    size_t written = socket_.write_some(std::span<const asio::const_buffer>(buffers.data(), count), error);
    if (error == asio::error::would_block || error == asio::error::try_again) return true;
    if (error == asio::error::interrupted) continue;
    if (error) {
      write_failed_ = true;
      outbox_.clear();
      out_offset_ = out_bytes_ = 0;
      return false;
    }
    out_bytes_ -= written;
    while (!outbox_.empty() && written >= outbox_.front().size() - out_offset_) {
      written -= outbox_.front().size() - out_offset_;
      outbox_.pop_front();
      out_offset_ = 0;
    }
    out_offset_ += written;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Frames and messages

// Serves the complete frames in the buffer. With `awaited`, stops at the answer
// to that event and hands it over.
bool Connection::ServeBuffered(std::optional<int64_t> awaited, Json* answer) {
  using Kind = FrameReader::Item::Kind;
  if (!awaited) backlog_ = false;
  while (!closing_) {
    // A client that sends requests without reading the answers has no more of
    // them served until it reads: the rest wait as requests, a few bytes each,
    // not as answers that may be megabytes each. (Waiting for an event's
    // answer, everything is served: the answer may be behind the requests.)
    if (!awaited && depth_ == 0 && out_bytes_ > kPauseReadingAbove) {
      backlog_ = true;
      return false;
    }
    FrameReader::Item item = reader_.Next();
    switch (item.kind) {
      case Kind::kNone:
        return false;
      case Kind::kFrame:
        if (ServeFrame(item.body, item.attachment, awaited, answer)) return true;
        break;
      case Kind::kOversized:
        server_.log().Line("connection " + std::to_string(id_) + ": skipped a frame of " +
                           std::to_string(item.length) + " bytes, over the limit");
        SendError(nullptr, RpcError(rpc::kInvalidRequest,
                                    "a frame of " + std::to_string(item.length) + " bytes is over the limit of " +
                                        std::to_string(reader_.max_body()) + " bytes; it was skipped",
                                    hr::kOutOfMemory));
        break;
      case Kind::kBroken:
        // Without a length there is no telling where the next frame starts.
        SendError(nullptr, RpcError(rpc::kInvalidRequest, "malformed frame header (" + item.error + "); closing",
                                    hr::kInvalidArg));
        BeginClose("malformed frame header: " + item.error);
        return false;
    }
    if (depth_ == 0) FinishTopLevel();
  }
  return false;
}

bool Connection::ServeFrame(std::string_view body, std::string_view attachment, std::optional<int64_t> awaited,
                            Json* answer) {
  RpcMessage message = ParseRpcMessage(body);
  switch (message.kind) {
    case RpcMessage::Kind::kRejected:
      if (message.error) SendError(message.id, *message.error);
      return false;
    case RpcMessage::Kind::kRequest:
      ServeRequest(message.id, message.method, message.params, attachment);
      return false;
    case RpcMessage::Kind::kNotification:
      ServeNotification(message.method, message.params);
      return false;
    case RpcMessage::Kind::kAnswer:
      break;
  }
  const int64_t answered = message.id.get<int64_t>();
  if (awaited && answered == *awaited) {
    *answer = std::move(message.message);
    return true;
  }
  // An outer event's answer ahead of an inner one's waits for its turn; any
  // other is the answer of a sink that was dropped for answering too late.
  if (std::find(awaiting_.begin(), awaiting_.end(), answered) != awaiting_.end()) {
    early_answers_.emplace(answered, std::move(message.message));
  }
  return false;
}

void Connection::ServeRequest(const Json& id, const std::string& method, const Json& params,
                              std::string_view attachment) {
  CallScope call(*this);
  ExportLog exports(*this);
  ++calls_;
  try {
    Attachments attachments{attachment, {}};
    Json result = Call(method, params, attachments);
    std::string body = DumpResponse(id, result);
    if (body.size() + attachments.reply.size() > reader_.max_body()) {
      exports.TakeBack();
      SendError(id, WithDetail(AutomationError(hr::kOutOfMemory),
                               "the result (" + std::to_string(body.size() + attachments.reply.size()) +
                                   " bytes) is over the frame limit"));
      return;
    }
    Enqueue(std::move(body), std::move(attachments.reply));
  } catch (const RpcError& error) {
    exports.TakeBack();
    SendError(id, error);
  } catch (const std::bad_alloc&) {
    exports.TakeBack();
    SendError(id, AutomationError(hr::kOutOfMemory));
  } catch (const std::exception& failure) {
    exports.TakeBack();
    server_.log().Line("connection " + std::to_string(id_) + ": " + method + " failed: " + failure.what());
    SendError(id, RpcError(rpc::kInternalError, failure.what(), hr::kFail));
  }
}

void Connection::ServeNotification(const std::string& method, const Json& params) {
  // Notifications get no answer, so a failed release has nobody to tell.
  if (method != "release" || !initialized_) return;
  CallScope call(*this);
  try {
    OnRelease(params);
  } catch (const std::exception&) {
  }
}

Json Connection::Call(const std::string& method, const Json& params, Attachments& attachments) {
  if (method == "initialize") return OnInitialize(params);
  if (!initialized_) {
    throw RpcError(rpc::kServerNotInitialized, "the first request must be initialize", hr::kRpcCallRejected);
  }
  if (method == "invoke") return OnInvoke(params, attachments);
  if (method == "create") return OnCreate(params);
  if (method == "release") return OnRelease(params);
  if (method == "getDispId") return OnGetDispId(params);
  if (method == "advise") return OnAdvise(params);
  if (method == "unadvise") return OnUnadvise(params);
  if (method == "typelib") return server_.library_json();
  if (method == "exit") return OnExit(params);
  throw RpcError(rpc::kMethodNotFound, "unknown method \"" + method + "\"", hr::kNotImpl);
}

// ---------------------------------------------------------------------------
// The methods

// The client's own working folder and environment, when it sends them: its
// objects use them instead of the server's, which no client changes.
ClientSettings Connection::ClientSettingsParam(const Json& params) {
  ClientSettings settings;
  if (const auto folder = params.find("workingFolder"); folder != params.end()) {
    if (!folder->is_string() || (!folder->get_ref<const std::string&>().empty() &&
                                 folder->get_ref<const std::string&>().front() != '/')) {
      throw InvalidParams("\"workingFolder\" is an absolute path");
    }
    settings.working_folder = folder->get<std::string>();
  }
  if (const auto environment = params.find("environment"); environment != params.end()) {
    if (!environment->is_object()) throw InvalidParams("\"environment\" is an object");
    for (const auto& [name, value] : environment->items()) {
      if (!value.is_string()) throw InvalidParams("\"environment\" maps names to strings");
    }
    settings.network = NetworkSettingsFrom([&](const char* name) -> std::optional<std::string> {
      const auto value = environment->find(name);
      if (value == environment->end()) return std::nullopt;
      return value->get<std::string>();
    });
  }
  return settings;
}

Json Connection::OnInitialize(const Json& params) {
  if (initialized_) throw RpcError(rpc::kInvalidRequest, "already initialized", hr::kRpcCallRejected);
  scope_->Adopt(ClientSettingsParam(params));  // a malformed one leaves the client uninitialized
  initialized_ = true;
  const auto attachments = params.find("attachments");
  takes_attachments_ = attachments != params.end() && *attachments == true;
  const auto packed_arrays = params.find("packedArrays");
  takes_packed_arrays_ = packed_arrays != params.end() && *packed_arrays == true;
  const auto& options = server_.options();
  return {{"protocolVersion", kProtocolVersion},
          {"serverVersion", QUILLON_VERSION},
          {"buildId", server_.build_id()},
          {"pid", static_cast<int>(getpid())},
          {"connections", server_.connection_count()},
          {"maxFrame", options.max_frame},
          {"attachments", true},
          {"packedArrays", true},
          {"clientSettings", true},
          {"eventTimeout", std::chrono::duration<double>(options.event_timeout).count()}};
}

Json Connection::OnCreate(const Json& params) {
  const auto progid = params.find("progid");
  if (progid == params.end() || !progid->is_string()) throw InvalidParams("\"progid\" is a string");
  std::shared_ptr<Dispatch> object;
  const HResult status = server_.host().registry().Create(Utf8ToUtf16(progid->get_ref<const std::string&>()),
                                                          server_.host(), *scope_, &object);
  if (Failed(status)) throw AutomationError(status);
  ++objects_created_;
  return EncodeVariant(Variant::FromObject(std::move(object)), *this);
}

Json Connection::OnGetDispId(const Json& params) {
  const std::shared_ptr<Dispatch> object = ObjectParam(params);
  const auto name = params.find("name");
  if (name == params.end() || !name->is_string()) throw InvalidParams("\"name\" is a string");
  DispId dispid = 0;
  const HResult status = object->GetIdOfName(Utf8ToUtf16(name->get_ref<const std::string&>()), &dispid);
  if (Failed(status)) throw AutomationError(status);
  return {{"dispid", dispid}};
}

Json Connection::OnInvoke(const Json& params, Attachments& attachments) {
  const std::shared_ptr<Dispatch> object = ObjectParam(params);  // held for the whole call

  DispId dispid = 0;
  const auto member = params.find("member");
  if (member != params.end() && member->is_string()) {
    const HResult status = object->GetIdOfName(Utf8ToUtf16(member->get_ref<const std::string&>()), &dispid);
    if (Failed(status)) throw AutomationError(status);
  } else if (member != params.end() && member->is_number_integer() && member->get<int64_t>() >= INT32_MIN &&
             member->get<int64_t>() <= int64_t{UINT32_MAX}) {
    dispid = static_cast<DispId>(static_cast<uint32_t>(member->get<int64_t>()));
  } else {
    throw InvalidParams("\"member\" is a name or a DISPID");
  }

  uint16_t flags = kDispatchMethod;
  if (const auto kind = params.find("kind"); kind != params.end()) {
    const std::string* name = kind->get_ptr<const std::string*>();
    if (name != nullptr && *name == "get") {
      flags = kDispatchPropertyGet;
    } else if (name != nullptr && *name == "put") {
      flags = kDispatchPropertyPut;
    } else if (name == nullptr || *name != "method") {
      throw InvalidParams("\"kind\" is \"method\", \"get\" or \"put\"");
    }
  }

  std::vector<Variant> args;
  if (const auto wire = params.find("args"); wire != params.end()) {
    if (!wire->is_array()) throw InvalidParams("\"args\" is an array");
    VariantDecoder decoder(*this);
    decoder.set_attachment(attachments.received);
    args.resize(wire->size());
    for (size_t i = 0; i < args.size(); ++i) {
      if (HResult status = decoder.Decode((*wire)[i], &args[i]); Failed(status)) {
        throw WithDetail(AutomationError(status, nullptr, i), "argument " + std::to_string(i) + ": " + decoder.error());
      }
    }
  }

  std::vector<size_t> refs;
  if (const auto wire = params.find("refs"); wire != params.end()) {
    if (!wire->is_array()) throw InvalidParams("\"refs\" is an array of argument indexes");
    for (const Json& index : *wire) {
      if (!IsHandle(index) || index.get<uint64_t>() >= args.size()) {
        throw InvalidParams("\"refs\" holds an index that is not an argument's");
      }
      refs.push_back(index.get<size_t>());
    }
  }

  Variant result;
  ExceptionInfo exception;
  const HResult status = object->Invoke(dispid, flags, args, &result, &exception);
  if (Failed(status)) throw AutomationError(status, &exception);

  std::string* const reply_attachment = takes_attachments_ ? &attachments.reply : nullptr;
  Json reply(Json::value_t::object);
  reply.emplace("value", EncodeVariant(result, *this, reply_attachment, takes_packed_arrays_));
  if (!refs.empty()) {
    Json values = Json::array();
    for (size_t index : refs) {
      values.push_back(EncodeVariant(args[index], *this, reply_attachment, takes_packed_arrays_));
    }
    reply["refs"] = std::move(values);
  }
  return reply;
}

Json Connection::OnAdvise(const Json& params) {
  const std::shared_ptr<Dispatch> object = ObjectParam(params);
  // A client that subscribes again is listening again.
  unresponsive_ = false;
  ConnectionPoint* point = object->Events();
  if (point == nullptr) throw WithDetail(AutomationError(hr::kNoInterface), "the object raises no events");
  std::optional<std::unordered_set<DispId>> wanted;
  if (const auto events = params.find("events"); events != params.end()) {
    if (!events->is_array()) throw InvalidParams("\"events\" is an array of event names");
    wanted.emplace();
    for (const Json& name : *events) {
      if (!name.is_string()) throw InvalidParams("\"events\" is an array of event names");
      // A name this server does not raise is passed over: the client may know a newer interface.
      if (const MemberInfo* event = point->interface().FindByName(name.get_ref<const std::string&>())) {
        wanted->insert(event->dispid);
      }
    }
  }
  std::erase_if(sinks_, [](const auto& entry) { return entry.second.source.expired(); });
  const uint64_t sink = next_sink_++;
  const uint32_t cookie =
      point->Advise(std::make_shared<SinkProxy>(weak_from_this(), sink, point->interface(), std::move(wanted)));
  sinks_[sink] = {object, cookie};
  return {{"sink", sink}};
}

Json Connection::OnUnadvise(const Json& params) {
  const auto sink = params.find("sink");
  if (sink == params.end() || !IsHandle(*sink)) throw InvalidParams("\"sink\" is a sink number");
  if (!sinks_.contains(sink->get<uint64_t>())) throw AutomationError(hr::kConnectNoConnection);
  DropSink(sink->get<uint64_t>());
  return nullptr;
}

Json Connection::OnRelease(const Json& params) {
  const auto handle = params.find("object");
  if (handle == params.end() || !IsHandle(*handle)) throw InvalidParams("\"object\" is a handle");
  uint64_t count = 1;
  if (const auto wire = params.find("count"); wire != params.end()) {
    if (!IsHandle(*wire) || wire->get<uint64_t>() == 0) throw InvalidParams("\"count\" is a positive integer");
    count = wire->get<uint64_t>();
  }
  if (!handles_.Find(handle->get<uint64_t>())) throw AutomationError(hr::kRpcDisconnected);
  Release(handle->get<uint64_t>(), count);
  return nullptr;
}

Json Connection::OnExit(const Json&) {
  if (server_.connection_count() > 1) {
    throw WithDetail(AutomationError(hr::kRpcCallRejected), "other clients are connected");
  }
  server_.RequestExit("asked to exit by connection " + std::to_string(id_) + " (pid " + std::to_string(peer_.pid) + ")");
  return nullptr;
}

std::shared_ptr<Dispatch> Connection::ObjectParam(const Json& params) {
  const auto handle = params.find("object");
  if (handle == params.end() || !IsHandle(*handle)) throw InvalidParams("\"object\" is a handle");
  std::shared_ptr<Dispatch> object = handles_.Find(handle->get<uint64_t>());
  if (!object) {
    throw WithDetail(AutomationError(hr::kRpcDisconnected), "no object has handle " + handle->dump() + " here");
  }
  return object;
}

void Connection::DropSink(uint64_t sink) {
  const auto entry = sinks_.find(sink);
  if (entry == sinks_.end()) return;
  if (const std::shared_ptr<Dispatch> source = entry->second.source.lock()) {
    if (ConnectionPoint* point = source->Events()) point->Unadvise(entry->second.cookie);
  }
  sinks_.erase(entry);
}

void Connection::DropSinks() {
  while (!sinks_.empty()) DropSink(sinks_.begin()->first);
}

// The object's end waits until the outermost call has unwound: it may be the
// very object whose member or event is still on the stack.
void Connection::Release(uint64_t handle, uint64_t count) {
  std::shared_ptr<Dispatch> last;
  if (handles_.Release(handle, count, &last) == HandleTable::Released::kLast) doomed_.push_back(std::move(last));
}

// ---------------------------------------------------------------------------
// Events

HResult Connection::DeliverEvent(uint64_t sink, const MemberInfo& event, std::span<Variant> args) {
  if (closing_ || unresponsive_) return hr::kRpcDisconnected;
  if (awaiting_.size() >= kMaxEventDepth) {
    server_.log().Line("connection " + std::to_string(id_) + ": " + std::string(event.name) +
                       " not delivered, events nested too deeply");
    return hr::kRpcCallRejected;
  }
  const std::shared_ptr<Connection> self = shared_from_this();
  HResult outcome = hr::kOk;
  {
    CallScope call(*this);
    ExportLog exports(*this);
    std::string attachment;
    Json wire_args = Json::array();
    for (const Variant& arg : args) {
      wire_args.push_back(
          EncodeVariant(arg, *this, takes_attachments_ ? &attachment : nullptr, takes_packed_arrays_));
    }
    const int64_t request_id = next_event_id_++;
    std::string body = Dump({{"jsonrpc", "2.0"},
                             {"id", request_id},
                             {"method", "event"},
                             {"params", {{"sink", sink}, {"dispid", event.dispid}, {"name", event.name},
                                         {"args", std::move(wire_args)}}}});
    if (body.size() + attachment.size() > reader_.max_body()) {
      exports.TakeBack();
      server_.log().Line("connection " + std::to_string(id_) + ": " + std::string(event.name) +
                         " not delivered, its arguments are over the frame limit");
      return hr::kOutOfMemory;
    }
    if (!Enqueue(std::move(body), std::move(attachment))) return hr::kRpcDisconnected;
    awaiting_.push_back(request_id);
    const Answer answer = AwaitAnswer(request_id);
    awaiting_.pop_back();
    switch (answer.status) {
      case AnswerStatus::kAnswered:
        if (const auto error = answer.message.find("error"); error != answer.message.end()) {
          const bool has_message = error->is_object() && error->contains("message");
          server_.log().Line("connection " + std::to_string(id_) + ": the handler of " + std::string(event.name) +
                             " failed: " + Dump(has_message ? (*error)["message"] : *error));
          outcome = hr::kException;
        }
        break;
      case AnswerStatus::kTimedOut:
        // The client, not the one sink, stopped answering: every sink it holds
        // goes, so that no later event waits for it again. Its objects still
        // answer its calls.
        server_.log().Line("connection " + std::to_string(id_) + " (pid " + std::to_string(peer_.pid) +
                           "): no answer to " + std::string(event.name) + " on sink " + std::to_string(sink) +
                           " within " + SecondsText(answer.waited) + "; the client is unresponsive, dropped sink " +
                           std::to_string(sink) + " and its " + std::to_string(sinks_.size() - 1) + " other sinks");
        unresponsive_ = true;
        DropSinks();
        outcome = hr::kRpcDisconnected;
        break;
      case AnswerStatus::kClosed:
        outcome = hr::kRpcDisconnected;
        break;
    }
  }
  // Raised from outside any call of this client (a timer, a socket): what the
  // event left behind waits until the raiser is off the stack.
  if (depth_ == 0) asio::post(loop_, [self] { self->OnEventUnwound(); });
  return outcome;
}

// Frames that came in behind the answer are already read, so no readiness
// notification will ever announce them; objects released meanwhile end now.
void Connection::OnEventUnwound() {
  if (closed_ || depth_ != 0) return;
  ServeBuffered(std::nullopt, nullptr);
  FinishTopLevel();
}

// The private, time-limited, synchronous wait for one answer: only this
// connection is read, and its requests (calls from inside the handler) are
// served as they come. A client that keeps talking is not stuck, so anything it
// sends restarts the clock, but never past kEventWaitLimitFactor event time-outs
// in all. The server's shutdown ends the wait at once.
Connection::Answer Connection::AwaitAnswer(int64_t request_id) {
  const auto timeout = server_.options().event_timeout;
  const auto started = std::chrono::steady_clock::now();
  const auto last_chance = started + kEventWaitLimitFactor * timeout;
  auto deadline = started + timeout;
  bool peer_gone = false;
  for (;;) {
    if (auto early = early_answers_.extract(request_id)) {
      return {AnswerStatus::kAnswered, std::move(early.mapped()), {}};
    }
    Json answer;
    if (ServeBuffered(request_id, &answer)) return {AnswerStatus::kAnswered, std::move(answer), {}};
    if (peer_gone) BeginClose("closed by the client");
    if (closing_) return {AnswerStatus::kClosed, {}, {}};
    if (!WriteSome()) {
      BeginClose("the client stopped reading");
      return {AnswerStatus::kClosed, {}, {}};
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return {AnswerStatus::kTimedOut, {}, now - started};
    pollfd watch{socket_.native_handle(), POLLIN, 0};
    if (!outbox_.empty()) watch.events |= POLLOUT;
    // The handler's answer usually comes soon: look for it a while before sleeping.
    WaitResult waited = WaitResult::kReady;
    watch.revents = POLLIN;
    if (!outbox_.empty() || !spin_.Spin([this] { return Readable(); })) {
      waited = PollUntil(std::span<pollfd>(&watch, 1), deadline, &interrupt_);
      spin_.Blocked();
    }
    if (waited == WaitResult::kInterrupted) {
      BeginClose("server shutting down");
      return {AnswerStatus::kClosed, {}, {}};
    }
    if (waited == WaitResult::kFailed) {
      BeginClose("cannot wait for the client");
      return {AnswerStatus::kClosed, {}, {}};
    }
    if (waited != WaitResult::kReady || (watch.revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
    const size_t before = reader_.buffered();
    if (ReadSome() == ReadResult::kClosed) peer_gone = true;
    if (reader_.buffered() != before) deadline = std::min(std::chrono::steady_clock::now() + timeout, last_chance);
  }
}

// ---------------------------------------------------------------------------
// Sending and ending

void Connection::SendError(const Json& id, const RpcError& error) { Enqueue(Dump(ErrorResponse(id, error))); }

bool Connection::Enqueue(std::string body, std::string attachment) {
  if (closed_ || write_failed_) return false;
  std::string prefix = FramePrefix(body.size(), attachment.size());
  out_bytes_ += prefix.size() + body.size() + attachment.size();
  outbox_.push_back(std::move(prefix));
  outbox_.push_back(std::move(body));
  if (!attachment.empty()) outbox_.push_back(std::move(attachment));
  if (!WriteSome()) {
    BeginClose("the client stopped reading");
    return false;
  }
  ArmWrite();
  return true;
}

void Connection::BeginClose(std::string reason) {
  if (closing_) return;
  closing_ = true;
  close_reason_ = std::move(reason);
}

void Connection::FinishTopLevel() {
  if (depth_ != 0) return;
  EndDoomedObjects();
  if (closing_ && !closed_) Close(close_reason_);
}

void Connection::EndDoomedObjects() {
  std::vector<std::shared_ptr<Dispatch>> doomed;
  doomed.swap(doomed_);
  doomed.clear();  // their termination runs here
}

void Connection::Close(std::string_view reason) {
  if (closed_) return;
  closing_ = true;
  closed_ = true;
  DropSinks();
  size_t ended = 0;
  {
    std::vector<std::shared_ptr<Dispatch>> objects = handles_.TakeAll();
    ended = objects.size();
  }
  EndDoomedObjects();
  scope_.reset();
  WriteSome();  // last words, such as why a broken stream is being closed
  std::error_code ignored;
  socket_.shutdown(Socket::shutdown_both, ignored);
  socket_.close(ignored);
  server_.log().Line("connection " + std::to_string(id_) + " (pid " + std::to_string(peer_.pid) + "): " +
                     std::string(reason) + "; " + std::to_string(calls_) + " calls, " +
                     std::to_string(objects_created_) + " objects created, " + std::to_string(ended) +
                     " released at close, open " + SecondsText(std::chrono::steady_clock::now() - opened_));
  server_.OnConnectionClosed();
  // Nothing of this client is left to run: its thread ends here.
  loop_.stop();
}

uint64_t Connection::Export(const Variant::Object& object) {
  const uint64_t handle = handles_.Add(object);
  if (export_log_ != nullptr) export_log_->push_back(handle);
  return handle;
}

HResult Connection::Import(uint64_t handle, Variant::Object* object) {
  *object = handles_.Find(handle);
  return *object ? hr::kOk : hr::kRpcDisconnected;
}

}  // namespace quillon::server
