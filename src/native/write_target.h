// The target of a streaming build, checked where the engine's own messages
// would not help: a target that is a directory, and a folder that does not
// exist. Also temp_path_for, which tells Python a target's temporary file.
#pragma once

#include <memory>
#include <string_view>

#include "core/error.h"
#include "core/stream_writer.h"

namespace quordb::native {

// StreamWriter::Create, refusing first a `target` that is a directory (which
// the build could not rename its file over, but would find out only at the
// end) and naming the folder when it does not exist. No Python inside.
Result<std::unique_ptr<StreamWriter>> CreateStreamWriter(std::string_view target,
                                                         OnDuplicate on_duplicate);

}  // namespace quordb::native
