// A short tour of Quillon's FileOps, driven exactly as a script drives it: objects
// created by ProgID, every member called late-bound by name with variants.
#include <unistd.h>

#include <asio/io_context.hpp>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>

#include "host/convert.h"
#include "host/dispatch.h"
#include "host/host.h"
#include "host/text.h"

using namespace quillon;

namespace {

std::string Show(const Variant& value) {
  if (value.vt() == (VT_ARRAY | VT_VARIANT)) {
    std::string out = "(";
    for (const Variant& item : value.array().items) out += (out.size() > 1 ? ", " : "") + Show(item);
    return out + ")";
  }
  if (value.vt() == VT_BSTR) return "\"" + Utf16ToUtf8(value.bstr()) + "\"";
  return Utf16ToUtf8(ToText(value));
}

Variant Text(const std::string& utf8) { return Variant::Bstr(Utf8ToUtf16(utf8)); }

void Step(const std::string& what, const Variant& result) {
  std::cout << "  " << what << " -> " << Show(result) << "\n";
}

}  // namespace

int main() {
  asio::io_context loop;
  Host host;
  ClientScope scope(loop);

  std::shared_ptr<Dispatch> fo;
  if (Failed(host.registry().Create(u"Quillon.FileOps", host, scope, &fo))) {
    std::cerr << "cannot create Quillon.FileOps\n";
    return 1;
  }

  const auto folder = std::filesystem::temp_directory_path() / ("quillon-tour-" + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  const std::string path = (folder / "café.bin").string();

  std::cout << "Quillon tour: FileOps\n";
  try {
    Step("StoreString(\"greeting\", \"Grüße, world\")",
         Call(*fo, "StoreString", {Text("greeting"), Text("Grüße, world")}));
    Step("GetStoreSize(\"GREETING\")", Call(*fo, "GetStoreSize", {Text("GREETING")}));

    std::vector<Variant> args{Text("greeting"), Variant::I4(1), Variant::I4(5), Variant()};
    Step("GetBytes(\"greeting\", 1, 5, bytes)", Call(*fo, "GetBytes", args));
    std::cout << "    bytes = " << Show(args[3]) << "\n";

    Step("LongToBytes(305419896)", Call(*fo, "LongToBytes", {Variant::I4(305419896)}));
    Step("BytesToLong(Array(120, 86, 52, 18))",
         Call(*fo, "BytesToLong", {Variant::Array({Variant::I2(120), Variant::I2(86), Variant::I2(52),
                                                   Variant::I2(18)})}));

    Step("OpenFile(\"" + path + "\")", Call(*fo, "OpenFile", {Text(path)}));
    Step("FileWrite(0, \"greeting\")", Call(*fo, "FileWrite", {Variant::I4(0), Text("greeting")}));
    Step("FileWrite(0, \"greeting\")", Call(*fo, "FileWrite", {Variant::I4(0), Text("greeting")}));
    Step("FileSize", Get(*fo, "FileSize"));
    Step("FileRead(14, 0, \"tail\")", Call(*fo, "FileRead", {Variant::I4(14), Variant::I4(0), Text("tail")}));
    Step("GetStoreSize(\"tail\")", Call(*fo, "GetStoreSize", {Text("tail")}));

    std::cout << "  and when something goes wrong:\n";
    Step("FileWrite(0, \"nothing\")", Call(*fo, "FileWrite", {Variant::I4(0), Text("nothing")}));
    Step("ErrorString", Get(*fo, "ErrorString"));
    Step("GetStoreSize(\"nothing\")", Call(*fo, "GetStoreSize", {Text("nothing")}));
    Step("ErrorNumber", Get(*fo, "ErrorNumber"));
    Step("ErrorString", Get(*fo, "ErrorString"));
    Call(*fo, "CloseFile");
  } catch (const DispatchError& e) {
    std::cerr << "call failed: " << HResultText(e.hresult) << " " << Utf16ToUtf8(e.exception.description) << "\n";
    std::filesystem::remove_all(folder);
    return 1;
  }
  std::filesystem::remove_all(folder);
  return 0;
}
