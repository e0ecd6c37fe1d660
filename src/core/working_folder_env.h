// One client's view of the files: its relative paths start in the folder it
// works in, while the process's own working folder stays as it is (clients
// share the process and may each work somewhere else).
#pragma once

#include <string>

#include "core/env.h"

namespace quillon {

class WorkingFolderEnv final : public EnvWrapper {
 public:
  // `folder` is absolute; empty: paths go to `target` as they are.
  WorkingFolderEnv(Env& target, std::string folder) : EnvWrapper(target), folder_(std::move(folder)) {}

  // An empty path and an absolute one stay as they are; a relative one is
  // completed by the folder.
  std::string FullPath(const std::string& path) override;

  Status OpenReadWrite(const std::string& path, std::unique_ptr<RandomAccessFile>* file) override {
    return target().OpenReadWrite(FullPath(path), file);
  }
  Status OpenRead(const std::string& path, std::unique_ptr<RandomAccessFile>* file) override {
    return target().OpenRead(FullPath(path), file);
  }
  Status CreateExclusive(const std::string& path, std::unique_ptr<RandomAccessFile>* file) override {
    return target().CreateExclusive(FullPath(path), file);
  }
  Status Rename(const std::string& from, const std::string& to) override {
    return target().Rename(FullPath(from), FullPath(to));
  }
  Status ResolveSaveTarget(const std::string& path, SaveTarget* save) override {
    return target().ResolveSaveTarget(FullPath(path), save);
  }
  bool IsLink(const std::string& path) override { return target().IsLink(FullPath(path)); }
  PathKind KindOf(const std::string& path) override { return target().KindOf(FullPath(path)); }
  Status MakeWritable(const std::string& path) override { return target().MakeWritable(FullPath(path)); }
  Status RemoveFile(const std::string& path) override { return target().RemoveFile(FullPath(path)); }
  Status GetModificationTime(const std::string& path, double* seconds) override {
    return target().GetModificationTime(FullPath(path), seconds);
  }
  Status SetModificationTime(const std::string& path, int64_t seconds) override {
    return target().SetModificationTime(FullPath(path), seconds);
  }

 private:
  const std::string folder_;
};

}  // namespace quillon
