// Saving a whole file so that a failure never leaves a half-written file at the
// path and never destroys what was there: the bytes go to a temporary file beside
// the target (created exclusively and private to its owner, mode 0600, named
// ".NAME.quillon-XXXXXX"), which is renamed into place only once complete and
// closed without error. Just before the rename it gets the permission bits of
// the file it replaces and, where the process may, its owner and group (a new
// file gets 0666 under the umask). A replaced file that had other hard links
// leaves them with the old content: the save makes a file of its own.
// A symbolic link on the way is followed when Env::ResolveSaveTarget allows it
// (the file it points to is replaced); one planted by another user in a shared
// sticky folder fails the save with 75 before anything is written.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "core/env.h"
#include "core/status.h"

namespace quillon {

// Writes `bytes` as the new content of `path`.
Status SaveFileAtomically(Env& env, const std::string& path, std::span<const uint8_t> bytes);
// Writes the pieces one after the other as the new content of `path`, gathered
// into large writes through a small buffer, so content kept in many small pieces
// is neither joined in memory first nor written a piece at a time.
Status SavePiecesAtomically(Env& env, const std::string& path, std::span<const std::vector<uint8_t>> pieces);

// For writers that produce the file themselves (a compressor writing through its
// own library): `produce` gets the temporary path and fills it; the result is
// renamed into place when it succeeds and removed when it fails.
Status ProduceFileAtomically(Env& env, const std::string& path,
                             const std::function<Status(const std::string& temp_path)>& produce);

}  // namespace quillon
