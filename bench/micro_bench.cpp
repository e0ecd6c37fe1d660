// In-process micro benchmarks of the paths that move a file's worth of bytes.
// Each Quillon benchmark is registered right before its peer: the same work done
// the plainest way this machine can (a copy, zlib called directly), so the ratio
// of the two lines of one run says what Quillon's own code adds.
//
//   build/bin/quillon_micro_bench [--benchmark_filter=Text]
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstring>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "compression/store_compression.h"
#include "fileops/file_ops.h"
#include "core/host.h"
#include "core/text.h"
#include "http/http_protocol.h"
#include "product/quillon_product.h"
#include "server/base64.h"
#include "server/json_writer.h"
#include "server/protocol.h"
#include "server/variant_codec.h"

namespace quillon {
namespace {

using Bytes = std::vector<uint8_t>;

// Text with the line ends a download meets and letters above 0x7F, so every
// branch of the text conversion runs.
Bytes SampleText(size_t size) {
  static const char* const kWords[] = {"alpha", "beta", "caf\xe9", "\x80uro", "gamma", "delta", "\x93q\x94"};
  static const char* const kEnds[] = {"\n", "\n", "\r\n", "\r", "\n\r"};
  std::mt19937 random(7);
  Bytes text;
  text.reserve(size + 16);
  while (text.size() < size) {
    const char* word = kWords[random() % std::size(kWords)];
    text.insert(text.end(), word, word + std::strlen(word));
    const char* gap = random() % 8 == 0 ? kEnds[random() % std::size(kEnds)] : " ";
    text.insert(text.end(), gap, gap + std::strlen(gap));
  }
  text.resize(size);
  return text;
}

// Mixed content: text, then bytes no compressor can shrink, in turns.
Bytes SampleMixed(size_t size) {
  Bytes bytes = SampleText(size);
  std::mt19937 random(8);
  for (size_t at = 0; at + 4096 <= size; at += 16384) {
    for (size_t i = 0; i < 4096; ++i) bytes[at + i] = static_cast<uint8_t>(random());
  }
  return bytes;
}

// A download as the engine keeps it: blocks of at most 8192 bytes.
std::vector<Bytes> AsBlocks(const Bytes& file) {
  std::vector<Bytes> blocks;
  for (size_t at = 0; at < file.size(); at += http::kReadBlockSize) {
    const size_t end = std::min(file.size(), at + http::kReadBlockSize);
    blocks.emplace_back(file.begin() + static_cast<ptrdiff_t>(at), file.begin() + static_cast<ptrdiff_t>(end));
  }
  return blocks;
}

// ---- CurFileAsString: blocks to text with CR LF line ends ----

void Text_JoinAsText(benchmark::State& state) {
  const std::vector<Bytes> blocks = AsBlocks(SampleText(static_cast<size_t>(state.range(0))));
  for (auto _ : state) benchmark::DoNotOptimize(http::JoinAsText(blocks));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(Text_JoinAsText)->Arg(8 << 20)->Arg(64 << 20)->Unit(benchmark::kMillisecond);

// Peer: widening the same bytes to 16 bits with no line-end rule at all.
void Text_JoinAsText_Peer_Widen(benchmark::State& state) {
  const std::vector<Bytes> blocks = AsBlocks(SampleText(static_cast<size_t>(state.range(0))));
  for (auto _ : state) {
    std::u16string text;
    text.reserve(static_cast<size_t>(state.range(0)));
    for (const Bytes& block : blocks) text.append(block.begin(), block.end());
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(Text_JoinAsText_Peer_Widen)->Arg(8 << 20)->Arg(64 << 20)->Unit(benchmark::kMillisecond);

// ---- The reply that carries a large text to a client ----

class NoObjects final : public server::ObjectMarshal {
 public:
  uint64_t Export(const Variant::Object&) override { return 0; }
  HResult Import(uint64_t, Variant::Object*) override { return hr::kRpcDisconnected; }
};

void Wire_EncodeText(benchmark::State& state) {
  const std::u16string text = http::JoinAsText(AsBlocks(SampleText(static_cast<size_t>(state.range(0)))));
  const Variant value = Variant::Bstr(text);
  NoObjects objects;
  for (auto _ : state) benchmark::DoNotOptimize(server::DumpJson(server::EncodeVariant(value, objects)));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(Wire_EncodeText)->Arg(8 << 20)->Unit(benchmark::kMillisecond);

// Peer: the UTF-8 conversion alone, which any wire format of text needs.
void Wire_EncodeText_Peer_Utf8Only(benchmark::State& state) {
  const std::u16string text = http::JoinAsText(AsBlocks(SampleText(static_cast<size_t>(state.range(0)))));
  for (auto _ : state) benchmark::DoNotOptimize(Utf16ToUtf8(text));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(Wire_EncodeText_Peer_Utf8Only)->Arg(8 << 20)->Unit(benchmark::kMillisecond);

// ---- Byte arrays through the wire form: what GetBytes answers ----

void Wire_EncodeByteVariants(benchmark::State& state) {
  const Variant value = Variant::ByteVariants(SampleMixed(static_cast<size_t>(state.range(0))));
  NoObjects objects;
  for (auto _ : state) benchmark::DoNotOptimize(server::DumpJson(server::EncodeVariant(value, objects)));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(Wire_EncodeByteVariants)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);

// Peer: base64 alone, the least any JSON carrying bytes must do.
void Wire_EncodeByteVariants_Peer_Base64(benchmark::State& state) {
  const Bytes bytes = SampleMixed(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(server::Base64Encode(bytes));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(Wire_EncodeByteVariants_Peer_Base64)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);

void Wire_DecodeByteVariants(benchmark::State& state) {
  const server::Json wire = {{"vt", VT_ARRAY | VT_VARIANT},
                             {"bytes", server::Base64Encode(SampleMixed(static_cast<size_t>(state.range(0))))}};
  const std::string text = wire.dump();
  NoObjects objects;
  for (auto _ : state) {
    Variant value;
    server::VariantDecoder decoder(objects);
    benchmark::DoNotOptimize(decoder.Decode(server::Json::parse(text), &value));
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(Wire_DecodeByteVariants)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);

// ---- Stores through Dispatch, as the server calls them ----

class Members {
 public:
  explicit Members(Dispatch& object) : object_(object) {}
  Variant Call(std::u16string_view name, std::span<Variant> args) {
    DispId dispid = 0;
    object_.GetIdOfName(name, &dispid);
    Variant result;
    ExceptionInfo exception;
    object_.Invoke(dispid, kDispatchMethod, args, &result, &exception);
    return result;
  }

 private:
  Dispatch& object_;
};

void Stores_StoreBytesGetBytes(benchmark::State& state) {
  QuillonHost host;
  const std::shared_ptr<Dispatch> ops = CreateFileOps(host);
  Members members(*ops);
  const Bytes bytes = SampleMixed(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    Variant store[] = {Variant::Bstr(u"B"), Variant::ByteVariants(bytes)};
    members.Call(u"StoreBytes", store);
    Variant get[] = {Variant::Bstr(u"B"), Variant::I4(1), Variant::I4(static_cast<int32_t>(bytes.size())), Variant()};
    members.Call(u"GetBytes", get);
    benchmark::DoNotOptimize(get[3]);
    Variant remove[] = {Variant::Bstr(u"B")};
    members.Call(u"DeleteStore", remove);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(Stores_StoreBytesGetBytes)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);

// Peer: the copies a store round trip cannot avoid (argument in, result out).
void Stores_StoreBytesGetBytes_Peer_Copies(benchmark::State& state) {
  const Bytes bytes = SampleMixed(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    Bytes in(bytes);
    Bytes store(in);
    Bytes out(store);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(Stores_StoreBytesGetBytes_Peer_Copies)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);

void Stores_ZipUnzip(benchmark::State& state) {
  const Bytes original = SampleMixed(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    Bytes bytes = original;
    CompressBytes(bytes);
    UncompressBytes(bytes, static_cast<int32_t>(original.size()));
    benchmark::DoNotOptimize(bytes);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(Stores_ZipUnzip)->Arg(4 << 20)->Unit(benchmark::kMillisecond);

// Peer: zlib's own one-call functions at the same level, on the same bytes.
void Stores_ZipUnzip_Peer_Zlib(benchmark::State& state) {
  const Bytes original = SampleMixed(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    uLongf packed_size = compressBound(original.size());
    Bytes packed(packed_size);
    compress2(packed.data(), &packed_size, original.data(), original.size(), 9);
    uLongf size = original.size();
    Bytes restored(size);
    uncompress(restored.data(), &size, packed.data(), packed_size);
    benchmark::DoNotOptimize(restored);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(Stores_ZipUnzip_Peer_Zlib)->Arg(4 << 20)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quillon

BENCHMARK_MAIN();

// The server's own work for one trivial call, socket aside: the request parsed,
// the answer built and written. The trivial-calls row compares the whole
// exchange with a bare echo; this is the part of it that is not the socket.
static void Wire_TrivialCallParseAndAnswer(benchmark::State& state) {
  const std::string body =
      R"({"jsonrpc":"2.0","id":1000,"method":"invoke","params":{"object":1,"member":"FileSize","kind":"get","args":[]}})";
  for (auto _ : state) {
    quillon::server::RpcMessage message = quillon::server::ParseRpcMessage(body);
    nlohmann::json variant(nlohmann::json::value_t::object);
    variant.emplace("vt", 3);
    variant.emplace("value", 0);
    nlohmann::json result(nlohmann::json::value_t::object);
    result.emplace("value", std::move(variant));
    std::string answer = quillon::server::DumpResponse(message.id, result);
    benchmark::DoNotOptimize(answer);
  }
}
BENCHMARK(Wire_TrivialCallParseAndAnswer)->Unit(benchmark::kMicrosecond);
