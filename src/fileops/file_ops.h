// FileOps: byte-level access to one open file, named in-memory byte stores,
// little-endian conversion, store compression and gzip files.
//
// Members report in one of three styles: status (the result is 0 or a code, the
// text goes to ErrorString), value (the result is the value; a failure sets
// ErrorNumber and ErrorString) and silent. See error_state.h.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "fileops/error_state.h"
#include "fileops/store_table.h"
#include "core/dispatch.h"
#include "core/env.h"
#include "core/working_folder_env.h"

namespace quillon {

class ClientScope;
class Host;

class FileOps : public AutomationObject {
 public:
  // Relative paths start in `working_folder` (empty: the process's own).
  explicit FileOps(Host& host, std::string working_folder = {});
  ~FileOps() override;

 protected:
  Variant InvokeMember(const MemberInfo& member, std::span<Variant> args) override;

 private:
  // Current file.
  Variant OpenFile(Variant& path);
  Variant FileSize() const;
  void CloseFile();
  void DeleteFile(Variant& path);
  // Error state.
  Variant ErrorString() const;
  Variant ErrorNumber() const;
  void ClearError();
  // File-store transfer.
  Variant FileRead(Variant& start, Variant& length, Variant& id);
  Variant FileWrite(Variant& start, Variant& id);
  // Stores.
  Variant GetBytes(Variant& id, Variant& start, Variant& length, Variant& bytes_array);
  Variant ReplaceBytes(Variant& id, Variant& start, Variant& bytes_array);
  Variant StoreBytes(Variant& id, Variant& bytes_array);
  Variant StoreString(Variant& id, Variant& string_data);
  Variant CopyBytes(Variant& id_from, Variant& start_from, Variant& length_from, Variant& id_to,
                    Variant& start_to);
  void DeleteStore(Variant& id);
  Variant GetStoreSize(Variant& id);
  Variant StoreExists(Variant& id);
  void ClearStorage();
  // Little-endian conversion.
  Variant BytesToLong(Variant& array_in);
  Variant LongToBytes(Variant& long_int);
  // Compression (file_ops_compression.cpp).
  Variant Zip(Variant& id);
  Variant Unzip(Variant& id, Variant& orig_size);
  Variant GZipFile(Variant& src_path, Variant& destination_zpath);
  Variant GUnZipFile(Variant& src_zpath, Variant& destination_unzpath, Variant& override_name);

  Host& host_;
  WorkingFolderEnv env_;

  // The current file.
  bool file_is_open_ = false;
  int32_t cur_file_size_ = 0;
  int16_t file_number_ = 0;
  std::unique_ptr<RandomAccessFile> file_;

  ErrorState error_;
  StoreTable stores_;
};

std::shared_ptr<Dispatch> CreateFileOps(Host& host);
std::shared_ptr<Dispatch> CreateFileOps(Host& host, ClientScope& scope);

}  // namespace quillon
