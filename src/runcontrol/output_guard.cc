#include "runcontrol/output_guard.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "base/exit_status.h"
#include "base/file_kind.h"
#include "base/run_failure.h"
#include "sketchfile/dc_logger.h"
#include "sketchfile/record_peek.h"
#include "sketchfile/sketch_format.h"

namespace {

[[noreturn]] void refuse(const std::string& name, const std::string& why) {
  std::cerr << "Refusing to write " << name << ": " << why << "; nothing was written" << std::endl;
  std::exit(kExitUndefinedSetting);
}

[[noreturn]] void refuseWriting(const std::string& what, const std::string& why) {
  throw RunFailure(kExitSketchNotWritten, "Cannot write the " + what + " " + why + "; nothing was read");
}

uint64_t wholeBlocks(uint64_t bytes, uint64_t blockBytes) {
  return (bytes + blockBytes - 1) / blockBytes * blockBytes;
}

// What the file takes on its file system now; 0 when there is none.
uint64_t allocatedBytes(const std::string& name) {
  struct stat st;
  if (::stat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  return static_cast<uint64_t>(st.st_blocks) * 512;
}

}  // namespace

void refuseUnsafeOutputs(const std::string& sketch, const std::vector<std::string>& sources) {
  const DCLogger names(sketch);
  for (const std::string& name : {names.sketchFileName, names.sketchFileName + ".tmp", names.recoveryFileName,
                                  names.recoveryFileName + ".tmp", runLockName(sketch)}) {
    const FileKind kind = kindOf(name);
    if (kind == FileKind::kMissing) continue;
    for (const std::string& source : sources) {
      if (!source.empty() && sameFile(name, source)) refuse(name, "it is " + source + ", which this run reads");
    }
    if (kind != FileKind::kRegular) refuse(name, std::string("it is ") + kindText(kind) + ", not a regular file");
  }
}

std::string runLockName(const std::string& sketch) { return DCLogger(sketch).recoveryFileName + ".lock"; }

void lockOutputs(RunLock& lock, const std::string& sketch) {
  const DCLogger names(sketch);
  const std::string lockName = runLockName(sketch);
  int err = 0;
  // The recovery file too: a process that holds it must not see it
  // replaced under its hands.
  switch (lock.acquire(lockName, {names.recoveryFileName}, err)) {
    case RunLock::Result::kHeld:
      return;
    case RunLock::Result::kUnlocked:
      // No reason to refuse the run, but a reason to say so.
      std::cerr << ("Cannot lock " + lockName + ": " + std::strerror(err) +
                    "; another run on this sketch name would not be noticed\n")
                << std::flush;
      return;
    case RunLock::Result::kInUse:
      throw RunFailure(kExitUndefinedSetting, sketch + " is in use by another run");
    case RunLock::Result::kCannotCreate:
      // Most often the directory cannot take the run's files at all: said
      // of the files the user knows. No run can be writing there then.
      refuseUncreatableOutputs(sketch, true);
      refuseWriting("sketch file", sketch + ": cannot create " + lockName + ": " + std::strerror(err));
  }
}

void refuseReplacingOtherScan(const std::string& sketch, const std::string& input, bool partialScan) {
  const DCLogger names(sketch);
  // A scan reads its recovery file back (and starts over, saying why, when
  // it is another source's); a sketch name that is its own recovery name
  // is such a file as far as a scan is concerned.
  if (!partialScan && names.sketchFileName == names.recoveryFileName) return;
  RecordIdentity held;
  if (!peekRecord(names.sketchFileName, held)) return;
  // The same source under another spelling (./a.img, a link) is no other.
  const bool sameSource = held.sourceNames == input || (!input.empty() && sameFile(held.sourceNames, input));
  // A partial scan's estimate is worth minutes; a full scan's result, or a
  // merge's, is not to be replaced by one.
  const bool keep = !sameSource || (partialScan && held.kind != sketchformat::kPartialScan);
  if (!keep) return;
  const std::string other = held.sourceNames.empty() ? std::string("another source") : held.sourceNames;
  throw RunFailure(kExitUndefinedSetting, names.sketchFileName + " holds the scan of " + other +
                                              "; remove it or give another --sketch");
}

void refuseUncreatable(const std::string& what, const std::string& target, const std::string& probe) {
  const int err = probeWritable(probe);
  if (err == 0) return;
  const std::string reason = std::strerror(err);
  refuseWriting(what, target + ": " + (probe == target ? reason : "cannot create " + probe + ": " + reason));
}

void refuseUncreatableOutputs(const std::string& sketch, bool withRecovery) {
  // A save writes its temporary and renames it over the target: a
  // temporary that can be made proves the directory, its permissions and a
  // free inode.
  const DCLogger names(sketch);
  refuseUncreatable("sketch file", names.sketchFileName, names.sketchFileName + ".tmp");
  if (withRecovery) refuseUncreatable("sketch file", names.recoveryFileName, names.recoveryFileName + ".tmp");
}

std::string roomShortage(const std::string& sketchFile, const std::string& recoveryFile, uint64_t fileBytes,
                         uint64_t recoveryBytesNow, const SpaceQuery& query) {
  struct Need {
    const std::string* file;
    FileSystemSpace space;
    uint64_t bytes;
  };
  std::vector<Need> needs;
  const FileSystemSpace sketchSpace = query(sketchFile);
  if (!recoveryFile.empty()) {
    // A recovery save writes a new file beside the recovery file it
    // replaces, and the final save a sketch file beside the recovery file
    // it then removes: two files at once, less what the recovery file
    // takes already.
    const FileSystemSpace space = query(recoveryFile);
    if (space.known) {
      const uint64_t two = 2 * wholeBlocks(fileBytes, space.blockBytes);
      // Said of the name the user gave where both share the file system.
      const bool shared = sketchSpace.known && space.id == sketchSpace.id;
      needs.push_back({shared ? &sketchFile : &recoveryFile, space, two > recoveryBytesNow ? two - recoveryBytesNow : 0});
    }
    if (sketchSpace.known && (!space.known || space.id != sketchSpace.id)) {
      needs.push_back({&sketchFile, sketchSpace, wholeBlocks(fileBytes, sketchSpace.blockBytes)});
    }
  } else if (sketchSpace.known) {
    needs.push_back({&sketchFile, sketchSpace, wholeBlocks(fileBytes, sketchSpace.blockBytes)});
  }
  for (const Need& need : needs) {
    if (need.bytes <= need.space.freeBytes) continue;
    return *need.file + ": " + std::strerror(ENOSPC) + ": its file system has " +
           std::to_string(need.space.freeBytes) + " bytes free, the saves of this run need up to " +
           std::to_string(need.bytes);
  }
  return "";
}

void refuseTooLittleRoom(const std::string& sketch, bool withRecovery, uint64_t fileBytes) {
  const DCLogger names(sketch);
  const std::string recovery = withRecovery ? names.recoveryFileName : std::string();
  const std::string shortage =
      roomShortage(names.sketchFileName, recovery, fileBytes, withRecovery ? allocatedBytes(recovery) : 0, spaceFor);
  if (!shortage.empty()) refuseWriting("sketch file", shortage);
}
