#include "platform/dns/udp_dns_client.h"

#include <algorithm>
#include <array>
#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <utility>

#include "core/text.h"

namespace quillon::dns {
namespace {

using asio::ip::udp;

// Without EDNS a server sends at most 512 bytes; the room beyond that takes an
// oversized reply whole instead of cut, so it reads as what it is.
constexpr size_t kReceiveRoom = 4096;
constexpr int kMostAttempts = 100;
// Rounds past this one wait no longer, so the wait cannot overflow.
constexpr int kLastDoubling = 16;

std::optional<Server> ParseServer(std::string_view entry) {
  const size_t colon = entry.find(':');
  const std::optional<Ipv4> address = ParseDottedQuad(entry.substr(0, colon));
  if (!address) return std::nullopt;
  Server server{*address, 53};
  if (colon == std::string_view::npos) return server;
  const std::string_view digits = entry.substr(colon + 1);
  if (digits.empty() || digits.size() > 5) return std::nullopt;
  uint32_t port = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    port = port * 10 + static_cast<uint32_t>(c - '0');
  }
  if (port == 0 || port > 65535) return std::nullopt;
  server.port = static_cast<uint16_t>(port);
  return server;
}

udp::endpoint EndpointOf(const Server& server) {
  return udp::endpoint(asio::ip::address_v4(server.address), server.port);
}

}  // namespace

std::optional<Ipv4> ParseDottedQuad(std::string_view text) {
  Ipv4 address{};
  size_t at = 0;
  for (size_t i = 0; i < address.size(); ++i) {
    if (i > 0) {
      if (at >= text.size() || text[at] != '.') return std::nullopt;
      ++at;
    }
    unsigned value = 0;
    size_t digits = 0;
    for (; digits < 3 && at < text.size() && text[at] >= '0' && text[at] <= '9'; ++digits, ++at) {
      value = value * 10 + static_cast<unsigned>(text[at] - '0');
    }
    if (digits == 0 || value > 255) return std::nullopt;
    address[i] = static_cast<uint8_t>(value);
  }
  if (at != text.size()) return std::nullopt;
  return address;
}

Status ParseServerList(std::string_view text, std::vector<Server>* servers) {
  servers->clear();
  if (text.empty()) return Status::Error(rt::kInvalidProcedureCall, u"DNS server list: empty");
  std::vector<Server> parsed;
  // One entry a pass, each ending at a comma or the end of the text.
  for (size_t start = 0;;) {
    const size_t comma = std::min(text.find(',', start), text.size());
    const std::string_view entry = text.substr(start, comma - start);
    const std::optional<Server> server = ParseServer(entry);
    if (!server) {
      return Status::Error(rt::kInvalidProcedureCall, u"DNS server list: not ADDR:PORT: \"" + AnsiToText(entry) + u"\"");
    }
    parsed.push_back(*server);
    if (comma == text.size()) break;
    start = comma + 1;
  }
  *servers = std::move(parsed);
  return Status::Ok();
}

// One lookup: its socket, its timer and where it stands. Handlers hold it
// alive, so the receive buffer outlives every operation on it; once ended or
// finished, `done_` is empty and handlers that still run do nothing.
class UdpDnsClient::Query : public std::enable_shared_from_this<Query> {
 public:
  Query(asio::io_context& loop, std::shared_ptr<const LookupSettings> settings, Question question, uint16_t id,
        std::vector<uint8_t> message, Done done)
      : loop_(loop),
        socket_(loop),
        timer_(loop),
        settings_(std::move(settings)),
        question_(std::move(question)),
        id_(id),
        message_(std::move(message)),
        total_attempts_(std::clamp(settings_->attempts, 1, kMostAttempts) *
                        static_cast<int>(settings_->servers.size())),
        done_(std::move(done)) {}

  bool Open() {
    asio::error_code error;
    socket_.open(udp::v4(), error);
    // Bound before the first send: a socket that has sent nothing cannot
    // receive on every platform.
    if (!error) socket_.bind(udp::endpoint(udp::v4(), 0), error);
    return !error;
  }

  void Begin() {
    Receive();
    // A failure now is reported from the loop, as Lookup promises.
    if (!SendAttempt()) asio::post(loop_, [self = shared_from_this()] { self->Finish({Outcome::kNoAnswer}); });
  }

  // The client is going away: nothing more is reported.
  void End() {
    done_ = nullptr;
    Close();
  }

 private:
  const Server& ServerOf(int attempt) const {
    return settings_->servers[static_cast<size_t>(attempt) % settings_->servers.size()];
  }

  // Sends the current attempt, or the next ones while sends fail; false when
  // no attempt is left.
  bool SendAttempt() {
    for (; attempt_ < total_attempts_; ++attempt_) {
      asio::error_code error;
      socket_.send_to(asio::buffer(message_), EndpointOf(ServerOf(attempt_)), 0, error);
      if (error) continue;
      // c-ares's back-off: each round over the list waits twice as long, so a
      // server slow to answer gets its chance before the attempts run out.
      const int round = std::min(attempt_ / static_cast<int>(settings_->servers.size()), kLastDoubling);
      timer_.expires_after(std::max(settings_->attempt_timeout, std::chrono::milliseconds(1)) * (int64_t{1} << round));
      timer_.async_wait([self = shared_from_this(), attempt = attempt_](const asio::error_code& wait_error) {
        self->OnAttemptTimeout(wait_error, attempt);
      });
      return true;
    }
    return false;
  }

  void NextAttempt() {
    ++attempt_;
    if (!SendAttempt()) Finish({last_failure_});
  }

  void Receive() {
    socket_.async_receive_from(asio::buffer(buffer_), sender_,
                               [self = shared_from_this()](const asio::error_code& error, size_t size) {
                                 self->OnDatagram(error, size);
                               });
  }

  void OnAttemptTimeout(const asio::error_code& error, int attempt) {
    // A wait that ended because the attempt did, or one a reply overtook.
    if (error || !done_ || attempt != attempt_) return;
    NextAttempt();
  }

  void OnDatagram(const asio::error_code& error, size_t size) {
    if (error == asio::error::operation_aborted || !done_) return;
    if (error) {
      // Where a refused port comes back as an error of the socket (an ICMP
      // message), the server asked last is the one that is not there.
      NextAttempt();
    } else if (AskedAlready(sender_)) {
      Reply reply = ParseReply(std::span<const uint8_t>(buffer_.data(), size), id_, question_);
      if (reply.outcome == Outcome::kServerFailure) {
        // Only the server asked now passes the turn; an earlier one is behind us.
        if (sender_ == EndpointOf(ServerOf(attempt_))) {
          last_failure_ = Outcome::kServerFailure;
          NextAttempt();
        }
      } else if (reply.outcome != Outcome::kNotOurs) {
        Finish(std::move(reply));
        return;
      }
    }
    if (done_) Receive();
  }

  // A late answer from a server already passed over is as good as any.
  bool AskedAlready(const udp::endpoint& sender) const {
    const int asked = std::min(attempt_ + 1, static_cast<int>(settings_->servers.size()));
    for (int i = 0; i < asked; ++i) {
      if (sender == EndpointOf(ServerOf(i))) return true;
    }
    return false;
  }

  void Finish(const Reply& reply) {
    if (!done_) return;
    const Done done = std::exchange(done_, nullptr);
    Close();
    done(reply);  // last: it may destroy the client
  }

  void Close() {
    asio::error_code ignored;
    socket_.close(ignored);
    timer_.cancel();
  }

  asio::io_context& loop_;
  udp::socket socket_;
  asio::steady_timer timer_;
  const std::shared_ptr<const LookupSettings> settings_;
  const Question question_;
  const uint16_t id_;
  const std::vector<uint8_t> message_;
  const int total_attempts_;
  int attempt_ = 0;
  Outcome last_failure_ = Outcome::kNoAnswer;
  Done done_;
  std::array<uint8_t, kReceiveRoom> buffer_{};
  udp::endpoint sender_;
};

UdpDnsClient::UdpDnsClient(asio::io_context& loop, LookupSettings settings)
    : loop_(loop), settings_(std::make_shared<const LookupSettings>(std::move(settings))) {}

UdpDnsClient::~UdpDnsClient() {
  for (const std::weak_ptr<Query>& running : running_) {
    if (std::shared_ptr<Query> query = running.lock()) query->End();
  }
}

bool UdpDnsClient::Lookup(const Question& question, Done done) {
  std::erase_if(running_, [](const std::weak_ptr<Query>& query) { return query.expired(); });
  if (settings_->servers.empty()) return false;
  const uint16_t id = static_cast<uint16_t>(std::uniform_int_distribution<unsigned>(0, 0xFFFF)(random_));
  std::vector<uint8_t> message = BuildQuery(id, question);
  if (message.empty()) return false;
  auto query = std::make_shared<Query>(loop_, settings_, question, id, std::move(message), std::move(done));
  if (!query->Open()) return false;
  running_.push_back(query);
  query->Begin();
  return true;
}

}  // namespace quillon::dns
