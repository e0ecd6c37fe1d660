#include "http/downloader.h"

#include <limits>

#include "core/convert.h"
#include "core/host.h"
#include "core/registry.h"
#include "core/working_folder_env.h"

namespace quillon {
namespace {

Variant SizeVariant(int64_t size) {
  if (size <= std::numeric_limits<int32_t>::max()) return Variant::I4(static_cast<int32_t>(size));
  return Variant::R8(static_cast<double>(size));  // a 32-bit count would wrap to a wrong size
}

}  // namespace

std::shared_ptr<Downloader> Downloader::Create(const ClassInfo& info, std::shared_ptr<http::HttpEngine> engine,
                                               size_t largest_answer) {
  auto downloader = std::make_shared<Downloader>(info, std::move(engine));
  downloader->largest_answer_ = largest_answer;
  downloader->subscription_ = downloader->engine_->Subscribe(downloader);
  return downloader;
}

Downloader::Downloader(const ClassInfo& info, std::shared_ptr<http::HttpEngine> engine)
    : AutomationObject(info), engine_(std::move(engine)), events_(*info.events()) {}

DispId Downloader::EventId(std::string_view name) const { return events_.interface().FindByName(name)->dispid; }

Downloader::~Downloader() {
  // Only this object lets go: the others' downloads go on, and the engine is shut
  // down when the last of them releases it.
  if (subscription_ != 0) engine_->Unsubscribe(subscription_);
}

Variant Downloader::InvokeMember(const MemberInfo& member, std::span<Variant> args) {
  using Args = std::span<Variant>;
  static const MemberTable<Downloader> members(Class().interface, {
      {"Busy", [](Downloader& o, Args) { return Variant::Bool(o.busy_); }},
      {"Port", [](Downloader& o, Args a) { o.SetPort(a[0]); return Variant(); }},
      {"Online", [](Downloader& o, Args) { return Variant::Bool(o.engine_->IsOnline()); }},
      {"ProxyConnection", [](Downloader& o, Args) { return Variant::Bool(o.engine_->IsConnectionProxy()); }},
      {"CurSize", [](Downloader& o, Args) { return SizeVariant(o.engine_->CurSize1()); }},
      {"CurFileAsString", [](Downloader& o, Args) { return o.CurFileAsString(); }},
      {"ServerHeader", [](Downloader& o, Args) { return Variant::Bstr(o.engine_->ServerHeader1()); }},
      {"ServerCode", [](Downloader& o, Args) { return Variant::I4(o.engine_->ServerCode1()); }},
      {"ErrorString", [](Downloader& o, Args) { return Variant::Bstr(o.error_string_); }},
      {"DisconnectNetwork", [](Downloader& o, Args) { o.engine_->CloseDown(); return Variant(); }},
      {"RequestFile", [](Downloader& o, Args a) { return o.RequestFile(a[0], a[1]); }},
      {"WriteTextFile", [](Downloader& o, Args a) { return o.WriteFile(a[0], a[1], true); }},
      {"WriteBinaryFile", [](Downloader& o, Args a) { return o.WriteFile(a[0], a[1], false); }},
  });
  return members.Run(*this, member, args);
}

void Downloader::SetPort(const Variant& value) {
  if (!IsNumeric(value)) return;
  try {
    engine_->set_port(ToLong(value));
  } catch (const RuntimeError&) {
    // Out of range: the port stays as it was.
  }
}

Variant Downloader::RequestFile(const Variant& server, const Variant& file_path) {
  std::u16string error;
  const int32_t started = engine_->StartWinsock(error);
  if (started != 0) {
    error_string_ = error;
    return Variant::I4(started);
  }
  // Conversion failures reach the caller as automation errors, before anything
  // else has happened.
  std::u16string server_text = ToText(server);
  std::u16string path_text = ToText(file_path);

  const int32_t result = engine_->RequestFile1(std::move(server_text), std::move(path_text), error);
  if (result != 0) {
    error_string_ = error;
    return Variant::I4(result);
  }
  busy_ = true;
  error_string_.clear();
  return Variant::I4(0);
}

Variant Downloader::CurFileAsString() const {
  if (busy_) return Variant::Bstr(u"");
  // Every byte of the file is at least a byte of the answer: a text that cannot
  // be carried is refused before gigabytes of it are built.
  const int64_t size = engine_->CurSize1();
  if (largest_answer_ != 0 && size > 0 && static_cast<uint64_t>(size) > largest_answer_) {
    throw DispatchError(hr::kOutOfMemory, {});
  }
  return Variant::Bstr(engine_->CurFileString1());
}

Variant Downloader::WriteFile(const Variant& path, const Variant& if_delete, bool as_text) {
  std::u16string path_text;
  bool delete_first = false;
  try {
    path_text = ToText(path);
  } catch (const RuntimeError&) {
  }
  try {
    delete_first = ToBoolean(if_delete);
  } catch (const RuntimeError&) {
  }
  std::u16string error;
  const int32_t result = as_text ? engine_->WriteTextFile1(path_text, delete_first, error)
                                 : engine_->WriteBinaryFile1(path_text, delete_first, error);
  error_string_ = error;
  return Variant::I4(result);
}

void Downloader::OnConnect1(const std::u16string& url) {
  const DispId id = EventId("OnConnect");
  const std::shared_ptr<Downloader> keep = weak_from_this().lock();
  Variant args[] = {Variant::Bstr(url)};
  events_.Raise(id, args);
}

void Downloader::OnFinish1(int32_t code, const std::u16string& text, uint64_t download) {
  const DispId id = EventId("OnDownloadFinish");
  const std::shared_ptr<Downloader> keep = weak_from_this().lock();
  Variant args[] = {Variant::I4(code), Variant::Bstr(text)};
  events_.Raise(id, args);
  // A handler that started the next download keeps us busy with that one: a
  // poller would otherwise take its partial file for a finished one.
  if (engine_->download_serial() == download) busy_ = false;
}

void Downloader::OnDisconnect1() {
  const DispId id = EventId("OnDisconnect");
  const std::shared_ptr<Downloader> keep = weak_from_this().lock();
  events_.Raise(id, {});
}

void Downloader::OnNothingRunning() { busy_ = false; }

std::shared_ptr<http::HttpEngine> MakeHttpEngine(Host& host, ClientScope& scope) {
  http::HttpEngine::Platform platform;
  platform.sockets = http::MakeSystemSocketLayer(scope.loop(), std::chrono::seconds(21), scope.interrupt(), host.env());
  const NetworkSettings& network = scope.network(host.network());
  platform.resolver =
      http::MakeSystemHostResolver(network.dns_servers, std::chrono::seconds(10), scope.interrupt(), host.env());
  platform.network = http::MakeSystemNetworkState(network);
  platform.files = std::make_unique<WorkingFolderEnv>(host.env(), scope.working_folder());
  return std::make_shared<http::HttpEngine>(host.env(), std::move(platform), &host.download_memory());
}

std::shared_ptr<Dispatch> CreateDownloader(Host& host, ClientScope& scope) {
  std::shared_ptr<http::HttpEngine> engine =
      scope.SharedEngine<http::HttpEngine>([&] { return MakeHttpEngine(host, scope); });
  return Downloader::Create(*host.library().FindClass("Downloader"), std::move(engine), host.largest_answer());
}

}  // namespace quillon
