#include "runcontrol/output_guard.h"

#include <cstdlib>
#include <iostream>

#include "base/exit_status.h"
#include "base/file_kind.h"
#include "sketchfile/dc_logger.h"

namespace {

[[noreturn]] void refuse(const std::string& name, const std::string& why) {
  std::cerr << "Refusing to write " << name << ": " << why << "; nothing was written" << std::endl;
  std::exit(kExitUndefinedSetting);
}

}  // namespace

void refuseUnsafeOutputs(const std::string& sketch, const std::vector<std::string>& sources) {
  const DCLogger names(sketch);
  for (const std::string& name :
       {names.sketchFileName, names.sketchFileName + ".tmp", names.recoveryFileName, names.recoveryFileName + ".tmp"}) {
    const FileKind kind = kindOf(name);
    if (kind == FileKind::kMissing) continue;
    for (const std::string& source : sources) {
      if (!source.empty() && sameFile(name, source)) refuse(name, "it is " + source + ", which this run reads");
    }
    if (kind != FileKind::kRegular) refuse(name, std::string("it is ") + kindText(kind) + ", not a regular file");
  }
}
