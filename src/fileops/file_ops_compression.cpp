// Compression members of FileOps: store compression and gzip files.
#include "fileops/file_ops.h"

namespace quillon {

Variant FileOps::Zip(Variant&) { throw RuntimeError(rt::kInvalidProcedureCall); }
Variant FileOps::Unzip(Variant&, Variant&) { throw RuntimeError(rt::kInvalidProcedureCall); }
Variant FileOps::GZipFile(Variant&, Variant&) { throw RuntimeError(rt::kInvalidProcedureCall); }
Variant FileOps::GUnZipFile(Variant&, Variant&, Variant&) { throw RuntimeError(rt::kInvalidProcedureCall); }

}  // namespace quillon
