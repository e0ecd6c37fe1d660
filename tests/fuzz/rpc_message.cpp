// Messages as a client sends them, through a real connection of the server:
// frames of any JSON, served by the same code that serves a socket, with the
// system's classes behind it. The server must answer in well-formed frames,
// never crash, and keep every variant it decodes intact through an encode and
// a decode. The classes run in a sandbox: the file system refuses every write
// and every read, the network is "offline" and the name server a dead port on
// loopback, so no input can touch anything outside the process.
#include <algorithm>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <asio/local/connect_pair.hpp>
#include <cmath>
#include <csignal>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "core/host.h"
#include "core/type_library.h"
#include "product/quillon_product.h"
#include "server/connection.h"
#include "server/framing.h"
#include "server/logger.h"
#include "server/server.h"
#include "server/variant_codec.h"

using namespace quillon;
using namespace quillon::server;

namespace {

// Refuses everything a class could do to the file system.
class SandboxEnv final : public Env {
 public:
  Status OpenReadWrite(const std::string&, std::unique_ptr<RandomAccessFile>*) override { return Refused(); }
  Status OpenRead(const std::string&, std::unique_ptr<RandomAccessFile>*) override { return Refused(); }
  Status CreateExclusive(const std::string&, std::unique_ptr<RandomAccessFile>*) override { return Refused(); }
  Status Rename(const std::string&, const std::string&) override { return Refused(); }
  Status ResolveSaveTarget(const std::string&, SaveTarget*) override { return Refused(); }
  bool IsLink(const std::string&) override { return false; }
  PathKind KindOf(const std::string&) override { return PathKind::kMissing; }
  Status MakeWritable(const std::string&) override { return Refused(); }
  Status RemoveFile(const std::string&) override { return Refused(); }
  Status GetModificationTime(const std::string&, double*) override { return Refused(); }
  Status SetModificationTime(const std::string&, int64_t) override { return Refused(); }
  std::string ExecutableFolder() override { return "/nonexistent"; }
  double Now() override { return 0; }
  MonotonicTime NowMonotonic() override { return MonotonicTime(); }

 private:
  static Status Refused() { return Status::Error(rt::kPermissionDenied); }
};

// Objects the variant round trip may meet: a few stand-ins, handed out by number.
class StandIn final : public Dispatch {
 public:
  const ClassInfo& Class() const override {
    static const ClassInfo info{"StandIn", "", false, "", {"_StandIn", "", {}}};
    return info;
  }
  HResult Invoke(DispId, uint16_t, std::span<Variant>, Variant*, ExceptionInfo*) override {
    return hr::kMemberNotFound;
  }
};

class TableMarshal final : public ObjectMarshal {
 public:
  TableMarshal() : objects_{std::make_shared<StandIn>(), std::make_shared<StandIn>()} {}
  uint64_t Export(const Variant::Object& object) override {
    objects_.push_back(object);
    return objects_.size() - 1;
  }
  HResult Import(uint64_t handle, Variant::Object* object) override {
    if (handle >= objects_.size()) return hr::kRpcDisconnected;
    *object = objects_[handle];
    return hr::kOk;
  }

 private:
  std::vector<Variant::Object> objects_;
};

bool SameValue(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

// An array of variants in either of its forms: items, or packed values standing for items.
VariantArray Items(const Variant& value) {
  if (!value.is_packed()) return value.array();
  VariantArray array;
  const PackedArray& packed = value.packed();
  for (size_t i = 0; i < packed.size(); ++i) array.items.push_back(packed.At(i));
  return array;
}

// Variant equality with NaN equal to itself, since a NaN does travel.
bool Same(const Variant& a, const Variant& b) {
  if (a.vt() != b.vt()) return false;
  switch (static_cast<uint16_t>(a.vt())) {
    case VT_R4: return SameValue(a.r4(), b.r4());
    case VT_R8: return SameValue(a.r8(), b.r8());
    case VT_DATE: return SameValue(a.date(), b.date());
    case VT_ARRAY | VT_VARIANT: {
      const VariantArray x = Items(a);
      const VariantArray y = Items(b);
      if (x.lower_bound != y.lower_bound || x.items.size() != y.items.size()) return false;
      for (size_t i = 0; i < x.items.size(); ++i) {
        if (!Same(x.items[i], y.items[i])) return false;
      }
      return true;
    }
    default: return a == b;
  }
}

void CheckRoundTrip(const Json& wire) {
  TableMarshal objects;
  VariantDecoder decoder(objects, DecodeLimits{64, size_t{64} << 20});
  Variant value;
  if (Failed(decoder.Decode(wire, &value))) {
    FUZZ_CHECK(!decoder.error().empty());
    return;
  }
  // Encoded, written out, read back and decoded: the same value, whether its
  // arrays go packed or as items.
  for (const bool packed_arrays : {false, true}) {
    const Json encoded = EncodeVariant(value, objects, nullptr, packed_arrays);
    const Json reread = Json::parse(encoded.dump(-1, ' ', false, Json::error_handler_t::strict));
    // A packed Boolean takes a byte, its variant forty: the items need a larger budget.
    VariantDecoder again(objects, DecodeLimits{64, size_t{64} << 26});
    Variant back;
    FUZZ_CHECK(again.Decode(reread, &back) == hr::kOk);
    FUZZ_CHECK(Same(value, back));
  }
}

struct Fixture {
  SandboxEnv env;
  QuillonHost host{env};
  TypeLibrary library = QuillonTypeLibrary();
  asio::io_context loop;
  WaitInterrupt interrupt;
  SpinSlots no_spin_slots{0};
  SpinWait spin{no_spin_slots, std::chrono::microseconds(0)};
  Logger log;
  std::unique_ptr<Server> server;
  uint64_t next_id = 1;

  Fixture() {
    host.network().dns_servers = "127.0.0.1:9";
    host.network().network_state = "offline";
    // Quiet: the log of a fuzz run would be nothing but refusals.
    std::signal(SIGPIPE, SIG_IGN);  // as the server itself runs
    FUZZ_CHECK(log.OpenFile("/dev/null"));
    ServerOptions options;
    options.socket_path = "/nonexistent/quillon-fuzz.sock";
    options.event_timeout = std::chrono::milliseconds(1);
    options.max_frame = size_t{1} << 20;
    server = std::make_unique<Server>(loop, host, library, options, log);
  }
  static Fixture& Get() {
    static Fixture* fixture = new Fixture();  // outlives the fuzzer's own exit path
    return *fixture;
  }
};

// Reads what the server wrote; every frame must be one a client can read.
void Drain(int fd, FrameReader& replies) {
  for (int turn = 0; turn < 64; ++turn) {
    const std::span<char> room = replies.Reserve(1 << 16);
    const ssize_t got = ::recv(fd, room.data(), room.size(), MSG_DONTWAIT);
    if (got <= 0) break;
    replies.Commit(static_cast<size_t>(got));
  }
  for (;;) {
    const FrameReader::Item item = replies.Next();
    if (item.kind == FrameReader::Item::Kind::kNone) return;
    FUZZ_CHECK(item.kind == FrameReader::Item::Kind::kFrame);
    const Json message = Json::parse(item.body.begin(), item.body.end(), nullptr, false);
    FUZZ_CHECK(message.is_object());
    FUZZ_CHECK(message.value("jsonrpc", "") == "2.0");
  }
}

void Turn(Fixture& fixture) {
  fixture.loop.restart();
  fixture.loop.poll();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Fixture& fixture = Fixture::Get();
  fuzz::Input input(data, size);
  const uint8_t mode = input.Byte();
  const std::string_view rest = fuzz::Chars(input.Rest());

  // The stream: either the bytes as they are, framing included, or pieces
  // (split at NUL, which JSON text never holds) each framed by the harness.
  std::string stream;
  if ((mode & 1) != 0) {
    const std::string_view initialize = R"({"jsonrpc":"2.0","id":0,"method":"initialize"})";
    stream += FramePrefix(initialize.size());
    stream += initialize;
  }
  if ((mode & 2) != 0) {
    stream.append(rest);
  } else {
    size_t start = 0;
    while (start <= rest.size()) {
      size_t end = rest.find('\0', start);
      if (end == std::string_view::npos) end = rest.size();
      const std::string_view piece = rest.substr(start, end - start);
      stream += FramePrefix(piece.size());
      stream.append(piece);
      const Json message = Json::parse(piece.begin(), piece.end(), nullptr, false);
      if (message.is_object() && message.contains("params") && message["params"].is_object()) {
        const Json& params = message["params"];
        if (params.contains("args") && params["args"].is_array()) {
          for (const Json& arg : params["args"]) CheckRoundTrip(arg);
        }
      }
      start = end + 1;
    }
  }

  asio::local::stream_protocol::socket served(fixture.loop);
  asio::local::stream_protocol::socket client(fixture.loop);
  asio::local::connect_pair(served, client);
  const int client_fd = client.native_handle();
  auto connection = std::make_shared<Connection>(*fixture.server, fixture.loop, fixture.interrupt, fixture.spin,
                                                 std::move(served), fixture.next_id++,
                                                 PeerCredentials{static_cast<int>(getpid()), geteuid()});
  connection->Start();

  FrameReader replies(size_t{1} << 24);
  size_t sent = 0;
  for (int turn = 0; turn < 10000 && sent < stream.size() && !connection->closed(); ++turn) {
    const ssize_t wrote = ::send(client_fd, stream.data() + sent, stream.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (wrote > 0) sent += static_cast<size_t>(wrote);
    Turn(fixture);
    Drain(client_fd, replies);
  }
  // The client hangs up, politely or not; either way everything it held ends.
  if ((mode & 4) != 0) ::shutdown(client_fd, SHUT_WR);
  for (int turn = 0; turn < 8; ++turn) {
    Turn(fixture);
    Drain(client_fd, replies);
  }
  std::error_code ignored;
  client.close(ignored);
  for (int turn = 0; turn < 100 && !connection->closed(); ++turn) Turn(fixture);
  FUZZ_CHECK(connection->closed());
  return 0;
}
