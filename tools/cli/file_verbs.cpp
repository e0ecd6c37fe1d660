// quillon gzip and quillon gunzip: a FileOps's gzip members, reporting the
// path actually written (gunzip's comes from the file's stored name).
#include <cstdio>
#include <string>
#include <vector>

#include "cli/session.h"
#include "cli/verbs.h"
#include "host/errors.h"

namespace quillon::cli {
namespace {

[[noreturn]] void FailWith(Dispatch& fo, const std::string& what, int32_t code, std::string hint = {}) {
  throw Failure(what + ": " + Utf8(Get(fo, "ErrorString")) + " (code " + std::to_string(code) + ")", std::move(hint));
}

class GzipVerb final : public Verb {
 public:
  explicit GzipVerb(CLI::App& app)
      : Verb(app.add_subcommand("gzip", "Compress a file into a .gz file (FileOps.GZipFile)")) {
    CLI::App* c = command();
    c->add_option("SRC", source_, "The file to compress (it stays as it is)")->required()->type_name("");
    c->add_option("DEST", destination_, "The .gz file to write; an existing one is replaced")
        ->required()
        ->type_name("");
    c->footer(
        "The .gz file stores SRC's name and modification time; gunzip restores both.\n\n"
        "Example:\n  quillon gzip notes.txt notes.txt.gz");
  }

  int Run() override {
    Session session;
    const std::shared_ptr<Dispatch> fo = session.Create(u"Quillon.FileOps");
    const int32_t result = StatusOf(Call(*fo, "GZipFile", {Text(source_), Text(destination_)}));
    if (result != 0) {
      FailWith(*fo, "cannot compress " + source_ + " into " + destination_, result,
               result == rt::kSubscriptOutOfRange ? "SRC is empty, and an empty file cannot be compressed." : "");
    }
    std::printf("%s\n", destination_.c_str());
    return kExitOk;
  }

 private:
  std::string source_;
  std::string destination_;
};

class GunzipVerb final : public Verb {
 public:
  explicit GunzipVerb(CLI::App& app)
      : Verb(app.add_subcommand("gunzip", "Extract the file from a .gz file (FileOps.GUnZipFile)")) {
    CLI::App* c = command();
    c->add_option("SRC", source_, "The .gz file")->required()->type_name("");
    c->add_option("DEST", destination_,
                  "Where to write. The name stored in the .gz file replaces DEST's file name (DEST's folder "
                  "stays) unless --override-name is given; a file at the resulting path is replaced")
        ->required()
        ->type_name("");
    c->add_flag("--override-name", override_name_, "Write to DEST exactly, ignoring the stored name");
    c->footer(
        "Prints the path actually written.\n\n"
        "Examples:\n  quillon gunzip notes.txt.gz out/anything      # writes out/notes.txt\n"
        "  quillon gunzip notes.txt.gz copy.txt --override-name");
  }

  int Run() override {
    Session session;
    const std::shared_ptr<Dispatch> fo = session.Create(u"Quillon.FileOps");
    // The member writes the path it chose back into its second argument.
    std::vector<Variant> args = {Text(source_), Text(destination_), Variant::Bool(override_name_)};
    const int32_t result = StatusOf(Call(*fo, "GUnZipFile", std::span<Variant>(args)));
    if (result != 0) {
      std::string hint;
      if (result == rt::kSubscriptOutOfRange) hint = "Is SRC a complete gzip file?";
      if (result == rt::kInvalidProcedureCall) hint = "The name stored in SRC is too long; pass --override-name.";
      FailWith(*fo, "cannot extract " + source_ + " to " + Utf8(args[1]), result, hint);
    }
    std::printf("%s\n", Utf8(args[1]).c_str());
    return kExitOk;
  }

 private:
  std::string source_;
  std::string destination_;
  bool override_name_ = false;
};

}  // namespace

std::unique_ptr<Verb> AddGzipVerb(CLI::App& app) { return std::make_unique<GzipVerb>(app); }
std::unique_ptr<Verb> AddGunzipVerb(CLI::App& app) { return std::make_unique<GunzipVerb>(app); }

}  // namespace quillon::cli
