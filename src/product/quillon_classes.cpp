#include "fileops/file_ops.h"
#include "http/downloader.h"
#include "ipinfo/ip_info.h"
#include "product/quillon_product.h"

namespace quillon {

void RegisterQuillonClasses(ClassRegistry& registry) {
  const TypeLibrary& library = QuillonTypeLibrary();
  registry.Register(*library.FindClass("FileOps"),
                    [](Host& host, ClientScope& scope) { return CreateFileOps(host, scope); });
  registry.Register(*library.FindClass("IPInfo"), [](Host& host, ClientScope& scope) { return CreateIPInfo(host, scope); });
  registry.Register(*library.FindClass("Downloader"), [](Host& host, ClientScope& scope) { return CreateDownloader(host, scope); });
}

}  // namespace quillon
