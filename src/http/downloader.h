// Downloader: the class scripts download a file with. It adds a busy flag and its
// own error text to the HTTP engine it shares with the other Downloaders of its
// client, and turns the engine's events into its own.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "core/dispatch.h"
#include "core/events.h"
#include "http/http_engine.h"

namespace quillon {

class Host;
class ClientScope;

class Downloader : public AutomationObject,
                   public http::HttpEngine::Listener,
                   public std::enable_shared_from_this<Downloader> {
 public:
  // Use Create: the engine holds Downloaders weakly, so they must be shared.
  // `largest_answer` is the largest text the front end carries (0: no limit);
  // CurFileAsString refuses a file larger than that with E_OUTOFMEMORY.
  // `info` is the class as the type library states it.
  static std::shared_ptr<Downloader> Create(const ClassInfo& info, std::shared_ptr<http::HttpEngine> engine,
                                            size_t largest_answer = 0);
  Downloader(const ClassInfo& info, std::shared_ptr<http::HttpEngine> engine);
  ~Downloader() override;

  ConnectionPoint* Events() override { return &events_; }

  void OnConnect1(const std::u16string& url) override;
  void OnFinish1(int32_t code, const std::u16string& text, uint64_t download) override;
  void OnDisconnect1() override;
  void OnNothingRunning() override;

 protected:
  Variant InvokeMember(const MemberInfo& member, std::span<Variant> args) override;

 private:
  // An event's DISPID, as the type library states it.
  DispId EventId(std::string_view name) const;
  void SetPort(const Variant& value);
  Variant RequestFile(const Variant& server, const Variant& file_path);
  Variant CurFileAsString() const;
  Variant WriteFile(const Variant& path, const Variant& if_delete, bool as_text);

  std::shared_ptr<http::HttpEngine> engine_;
  uint64_t subscription_ = 0;
  ConnectionPoint events_;
  bool busy_ = false;
  size_t largest_answer_ = 0;
  std::u16string error_string_;
};

// A Downloader bound to its client's engine, made with the client's first one.
std::shared_ptr<Dispatch> CreateDownloader(Host& host, ClientScope& scope);

// The engine a client's Downloaders share, on the client's event loop, reaching the
// network as the host's settings say.
std::shared_ptr<http::HttpEngine> MakeHttpEngine(Host& host, ClientScope& scope);

}  // namespace quillon
