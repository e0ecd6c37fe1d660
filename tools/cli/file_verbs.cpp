// quillon gzip and quillon gunzip: a FileOps's gzip members, reporting the
// path actually written (gunzip's comes from the file's stored name).
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cli/session.h"
#include "cli/verbs.h"
#include "compression/gzip_file.h"
#include "core/errors.h"
#include "core/path.h"
#include "core/text.h"

namespace quillon::cli {
namespace {

namespace fs = std::filesystem;

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
      std::error_code error;
      if (result == rt::kSubscriptOutOfRange && fs::file_size(source_, error) == 0 && !error) {
        throw Failure("cannot compress " + source_ + ": the file is empty, and GZipFile refuses an empty source",
                      "Compress a file that holds at least one byte.");
      }
      FailWith(*fo, "cannot compress " + source_ + " into " + destination_, result);
    }
    std::printf("%s\n", destination_.c_str());
    return kExitOk;
  }

 private:
  std::string source_;
  std::string destination_;
};

// The name gunzip gives a file that stores none: SRC's name without ".gz"
// (".tgz" becomes ".tar"), or with ".out" added when it has no such ending.
std::string NameWithoutGz(const std::string& source) {
  std::string name = fs::path(source).filename().string();
  auto ends_with = [&](std::string_view suffix) {
    return name.size() > suffix.size() && EqualsIgnoreCase(std::string_view(name).substr(name.size() - suffix.size()), suffix);
  };
  if (ends_with(".gz")) return name.substr(0, name.size() - 3);
  if (ends_with(".tgz")) return name.substr(0, name.size() - 4) + ".tar";
  return name + ".out";
}

class GunzipVerb final : public Verb {
 public:
  explicit GunzipVerb(CLI::App& app)
      : Verb(app.add_subcommand("gunzip", "Extract the file from a .gz file (FileOps.GUnZipFile)")) {
    CLI::App* c = command();
    c->add_option("SRC", source_, "The .gz file")->required()->type_name("");
    c->add_option("DEST", destination_,
                  "Where to write: a file, or an existing folder to write into. The name stored in the .gz file "
                  "replaces the file name (the folder stays) unless --override-name is given; a file that "
                  "stores no name is written to DEST, or inside a DEST folder under SRC's name without .gz")
        ->required()
        ->type_name("");
    c->add_flag("--override-name", override_name_, "Write to DEST exactly, ignoring the stored name");
    c->add_flag("--force", force_, "Replace the output file when it exists");
    c->footer(
        "Prints the path actually written. An existing file there is replaced only with --force.\n\n"
        "Examples:\n  quillon gunzip notes.txt.gz out/anything      # writes out/notes.txt\n"
        "  quillon gunzip /usr/share/doc/bash/NEWS.gz .    # stores no name: writes ./NEWS\n"
        "  quillon gunzip notes.txt.gz copy.txt --override-name");
  }

  int Run() override {
    std::error_code error;
    const fs::file_status source = fs::status(source_, error);
    if (!fs::exists(source)) {
      throw Failure("cannot extract " + source_ + ": no such file", "Check the path of SRC.");
    }
    if (fs::is_directory(source)) throw Failure("cannot extract " + source_ + ": it is a folder");
    std::string destination = destination_;
    if (fs::is_directory(destination_, error)) {
      destination = (fs::path(destination_) / NameWithoutGz(source_)).string();
    }
    const std::string output = OutputPath(destination);
    if (!force_ && fs::exists(fs::symlink_status(output, error))) {
      throw Failure("cannot extract " + source_ + " to " + output + ": File exists",
                    "Pass --force to replace it, or name another DEST.");
    }

    Session session;
    const std::shared_ptr<Dispatch> fo = session.Create(u"Quillon.FileOps");
    // The member writes the path it chose back into its second argument.
    std::vector<Variant> args = {Text(source_), Text(destination), Variant::Bool(override_name_)};
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
  // The path GUnZipFile will choose for `destination`: the stored name, made
  // plain as the member makes it, in destination's folder.
  std::string OutputPath(const std::string& destination) const {
    if (override_name_) return destination;
    std::ifstream in(source_, std::ios::binary);
    std::vector<uint8_t> head(kGzipHeadLimit);
    in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<size_t>(in.gcount()));
    const GzipHeader header = ParseGzipHeader(head, true);
    if (header.verdict != GzipHeader::Verdict::kOk || !header.name) return destination;
    const std::optional<std::u16string> name = PlainStoredName(*header.name);
    if (!name) return destination;
    return FolderOf(destination) + Utf16ToUtf8(*name);
  }

  std::string source_;
  std::string destination_;
  bool override_name_ = false;
  bool force_ = false;
};

}  // namespace

std::unique_ptr<Verb> AddGzipVerb(CLI::App& app) { return std::make_unique<GzipVerb>(app); }
std::unique_ptr<Verb> AddGunzipVerb(CLI::App& app) { return std::make_unique<GunzipVerb>(app); }

}  // namespace quillon::cli
