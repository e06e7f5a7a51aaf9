#include "runcontrol/options.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/format.hpp>
#include <boost/program_options.hpp>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "runcontrol/build_id.h"
#include "base/file_kind.h"
#include "base/run_globals.h"
#include "runcontrol/sketch_name.h"

namespace po = boost::program_options;

// The notifier runs before help and before any range check, so it must hold
// for every int: the blocks per TiB are worked out first (the block size
// divides a TiB), which keeps the product within 64 bits.
void my_func(int machineSize) {
  myGlobals.machineBlocks =
      static_cast<uint64_t>(static_cast<int64_t>(machineSize) * ((int64_t{1} << 40) / myGlobals.blockSize));
}

namespace {

bool gVersionShown = false;
bool gBatchLine = false;
// The text each option was given as on the line being parsed, by its long
// name: messages quote it as typed.
std::map<std::string, std::string> gGiven;

// The parser takes "-5" for an unsigned option as 4294967291; the text
// tells.
bool givenNegative(const std::string& option) {
  const auto it = gGiven.find(option);
  if (it == gGiven.end()) return false;
  const std::size_t first = it->second.find_first_not_of(" \t");
  return first != std::string::npos && it->second[first] == '-';
}

std::string givenText(const std::string& option) {
  const auto it = gGiven.find(option);
  return it == gGiven.end() ? std::string() : it->second;
}

// Raised for a command word that cannot run. Boost's own invalid_option_value
// words its message differently; the text users (and scripts) see is
// "invalid option value" directly followed by the reason in apostrophes.
class InvalidCommand : public po::error {
 public:
  explicit InvalidCommand(const std::string& why) : po::error("invalid option value'" + why + "'") {}
};

// The three option groups, bound straight to myGlobals.
struct OptionGroups {
  po::options_description general;
  po::options_description support{"Support options"};
  po::options_description backend{"Backend options"};
  bool supportOn = std::getenv("ZIZUDIR3") != nullptr;
  bool backendOn = std::getenv("DEDUPEINTERNAL") != nullptr;

  OptionGroups()
      : general((boost::format("Veda Dezevazir odazirera Version: %s Build %d") % myGlobals.version %
                 kBuildNumber)
                    .str(),
                po::options_description::m_default_line_length,
                po::options_description::m_default_line_length / 2) {
    RunGlobals& g = myGlobals;
    general.add_options()
        ("help,h", "Produce help message")
        ("version", "Show the version and build and end")
        ("maxMBPs,x", po::value<unsigned>(&g.maxMBPs)->default_value(0), "MAX MBPS")
        ("input,d", po::value<std::string>(&g.input), "Set device to estimate")
        ("sketch,o", po::value<std::string>(&g.sketch), "Result data filename")
        ("updatebw,s", po::value<unsigned>(&g.updatebw)->default_value(10), "Update interval (seconds)")
        ("command", po::value<std::string>()->default_value("scan"),
         "scan, merge, load or partialscan (default is scan)")
        ("mergefiles", po::value<std::string>(), "Files to merge")
        ("loglevel", po::value<unsigned>(&g.loglevel)->default_value(3), "Log Level")
        ("batchfile", po::value<std::string>(&g.batchfile)->default_value(""), "Batch file to process")
        ("mergeall", po::bool_switch(&g.mergeall), "Merge All files")
        ("json", po::bool_switch(&g.json), "Report as one JSON object per run on standard output")
        ("groups", po::value<int>(&g.groups), "Merge: split the sources into N groups")
        ("html", po::value<std::string>(&g.html), "Write the report as one HTML page to this file");
    support.add_options()
        ("threads,p", po::value<unsigned>(&g.threads)->default_value(10), "Number of threads")
        ("machineSize,M", po::value<int>(&g.machineSize)->default_value(57)->notifier(my_func),
         "Designated Machine size")
        ("storagever", po::value<unsigned>(&g.storagever)->default_value(1202), "Storage version")
        ("mergeAllThreshold", po::value<float>(&g.mergeAllThreshold),
         "Default threshold for merge (0.9 by default)");
    backend.add_options()
        ("altHash,m", po::bool_switch(&g.altHash), "alt hash")
        ("recoverBlocks,r", po::value<int>(&g.recoverBlocks)->default_value(100000),
         "Every x Blocks to save recovery")
        ("randomBytes,u", po::value<int>(&g.randomBytes)->default_value(0), "Add random bytes")
        ("minSecsRecovery,T", po::value<unsigned>(&g.minSecsRecovery)->default_value(1800),
         "Minimum time between recovery saves)")
        ("segmentSize", po::value<int>(&g.segmentSize), "Default Segment size / Big zeroes")
        ("hashSize", po::value<int>(&g.hashSize)->default_value(50000), "Default hashsize")
        ("maxNumSamples,t", po::value<int>(&g.maxNumSamples), "maxNumSamples")
        ("readcmpRequestsMaxQ", po::value<int>(&g.readcmpRequestsMaxQ)->default_value(2),
         "Default readcmpRequestsMaxQ ")
        ("readRequestsMaxQ", po::value<int>(&g.readRequestsMaxQ)->default_value(10),
         "Default readRequestsMaxQ ")
        // The trailing blank is part of the name; --hashRequestsMaxQ still
        // reaches it as a prefix.
        ("hashRequestsMaxQ ", po::value<int>(&g.hashRequestsMaxQ)->default_value(500),
         "Default hashRequestsMaxQ ");
  }

  po::options_description accepted() const {
    po::options_description all;
    all.add(general);
    if (supportOn) all.add(support);
    if (backendOn) all.add(backend);
    return all;
  }

  void printHelp() const {
    std::cout << general << "\n";
    if (supportOn) {
      std::cout << support;
      std::cout << "Git commit: " << kBuildId << "\n";
    }
    if (backendOn) std::cout << backend;
  }

  // Scripts and packages read these two lines; nothing else is printed.
  static void printVersion() {
    std::cout << "dezevazir " << myGlobals.version << " (build " << kBuildNumber << ")\n"
              << "Git commit: " << kBuildId << "\n";
  }

  void printAfterError() const {
    std::cout << general << "\n";
    if (supportOn) std::cout << support;
    if (backendOn) std::cout << backend;
  }
};

[[noreturn]] void refuse(const std::string& message, int status) {
  std::cerr << message << std::endl;
  std::exit(status);
}

// Non-blocking: a FIFO must not stall the parse. What the name is is judged
// by whoever reads it.
bool canOpenForReading(const std::string& path, FileKind* kind = nullptr, int* err = nullptr) {
  FileKind k = FileKind::kMissing;
  int e = 0;
  const int fd = openForReading(path, k, e);
  if (kind != nullptr) *kind = k;
  if (err != nullptr) *err = e;
  if (fd < 0) return false;
  close(fd);
  return true;
}

// One command word is taken; a second positional word is most often a file
// given without its option. Named, with where it belongs, instead of the
// parser's "option --command cannot be specified more than once".
void refuseSecondWord(const po::parsed_options& parsed) {
  std::vector<std::string> words;
  for (const po::option& o : parsed.options) {
    if (o.string_key == "command" && !o.value.empty()) words.push_back(o.value.front());
  }
  if (words.size() < 2) return;
  throw po::error("the word " + words[1] + " is not understood: one command word is taken (here " + words[0] +
                  "); a sketch file goes with --sketch (-o), merge inputs with --mergefiles a,b");
}

// Turns the command word into myGlobals.command, or throws InvalidCommand.
void checkCommand(const po::variables_map& vm) {
  std::string word = vm["command"].as<std::string>();
  std::transform(word.begin(), word.end(), word.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  // A batch file names its own commands line by line; the word on the
  // program's line does not matter then.
  if (!vm["batchfile"].defaulted()) word = "batch";

  if (word == "scan" || word == "partialscan") {
    myGlobals.command = word;
    if (myGlobals.input.empty()) throw InvalidCommand(": Device to scan not given or cannot open");
    int err = 0;
    if (!canOpenForReading(myGlobals.input, nullptr, &err)) {
      // The name and the reason, instead of the whole help. A batch line
      // is only skipped; the program's own line ends as a source that
      // cannot be opened does.
      std::cerr << ("Error reading: " + myGlobals.input + ": " + std::strerror(err) + "\n") << std::flush;
      if (gBatchLine) throw InvalidCommand(": Device to scan not given or cannot open");
      std::exit(100);
    }
  } else if (word == "merge" || word == "load") {
    myGlobals.command = word;
  } else if (word != "batch") {
    throw InvalidCommand(" - Invalid - Available commands are: scan, partialscan, load or merge");
  }
}

void checkMergeFiles(const po::variables_map& vm) {
  if (vm.count("mergefiles") == 0) {
    if (myGlobals.command == "merge") refuse("Missing merge files need at least 2", 124);
    return;
  }
  // Empty pieces are names too: "a,,b" asks for a file called "".
  boost::split(vecInp, vm["mergefiles"].as<std::string>(), boost::is_any_of(","));
  if (vecInp.size() < 2) refuse("Missing merge files need at least 2", 132);
  for (const std::string& name : vecInp) {
    FileKind kind = FileKind::kMissing;
    int err = 0;
    if (!canOpenForReading(name, &kind, &err)) refuse("Cannot read mergefile: " + name + ": " + std::strerror(err), 125);
    // Only a regular file can be a sketch file.
    if (kind != FileKind::kRegular) refuse("Cannot read mergefile: " + name + ": it is " + kindText(kind), 125);
  }
  if (myGlobals.command != "merge") refuse("Mergefiles must be used with merge command only", 127);
}

// A split into groups needs a merge, and at least one source in each group.
void checkGroups(const po::variables_map& vm) {
  if (vm.count("groups") == 0) return;
  if (myGlobals.command != "merge") refuse("Invalid groups given: only with the merge command", 133);
  if (myGlobals.groups < 1 || static_cast<std::size_t>(myGlobals.groups) > vecInp.size()) {
    refuse("Invalid groups given: need 1 to the number of merge files (" + std::to_string(vecInp.size()) + ")",
           133);
  }
}

// Settings whose meaning breaks down outside these bounds (no workers, a
// sketch that keeps nothing, segments that split blocks, queue bounds that
// stall or overflow) are refused before anything runs.
constexpr unsigned kMaxMBPsLimit = 1000000;
constexpr unsigned kMaxThreads = 1024;

void refuseUndefinedValues() {
  const RunGlobals& g = myGlobals;
  for (const char* name : {"maxMBPs", "threads", "loglevel", "minSecsRecovery"}) {
    if (givenNegative(name)) {
      refuse(std::string("Invalid ") + name + " given: " + givenText(name) + ": must not be negative", 133);
    }
  }
  if (g.threads < 1) refuse("Invalid threads given: need at least 1", 133);
  // Each thread is a read worker with its queue share and buffers; beyond
  // this no device is read faster, and the system may not create them.
  if (g.threads > kMaxThreads) refuse("Invalid threads given: at most " + std::to_string(kMaxThreads), 133);
  if (g.recoverBlocks < 1) refuse("Invalid recoverBlocks given: need at least 1", 133);
  if (g.hashSize < 1) refuse("Invalid hashSize given: need at least 1", 133);
  if (g.segmentSize < 1 || g.segmentSize % g.blockSize != 0) {
    refuse("Invalid segmentSize given: need a positive multiple of " + std::to_string(g.blockSize), 133);
  }
  if (g.maxNumSamples < 0) refuse("Invalid maxNumSamples given: must not be negative", 133);
  // The limiter keeps one slot per MiB/s; beyond any real device's rate the
  // slot table would only exhaust memory.
  if (g.maxMBPs > kMaxMBPsLimit) {
    refuse("Invalid maxMBPs given: at most " + std::to_string(kMaxMBPsLimit), 133);
  }
  // The log level is kept as a signed int; larger values would turn logging off.
  if (g.loglevel > static_cast<unsigned>(INT_MAX)) {
    refuse("Invalid loglevel given: at most " + std::to_string(INT_MAX), 133);
  }
  if (g.machineSize < 1) refuse("Invalid machineSize given: need at least 1", 133);
  const struct {
    const char* name;
    int bound;
  } queues[] = {{"readcmpRequestsMaxQ", g.readcmpRequestsMaxQ},
                {"readRequestsMaxQ", g.readRequestsMaxQ},
                {"hashRequestsMaxQ", g.hashRequestsMaxQ}};
  for (const auto& q : queues) {
    if (q.bound < 1) refuse(std::string("Invalid ") + q.name + " given: need at least 1", 133);
    // The queue's length bound is this value times threads, kept in an int.
    if (static_cast<int64_t>(q.bound) * g.threads > INT_MAX) {
      refuse(std::string("Invalid ") + q.name + " given: " + q.name + " times threads exceeds " +
                 std::to_string(INT_MAX),
             133);
    }
  }
}

}  // namespace

bool asksOnlyForHelpOrVersion(int argc, char** argv) {
  if (argc <= 1) return true;
  OptionGroups groups;
  po::positional_options_description positional;
  positional.add("command", -1);
  // Stored, not notified: nothing reaches myGlobals.
  po::variables_map vm;
  try {
    po::store(po::command_line_parser(argc, argv).options(groups.accepted()).positional(positional).run(), vm);
  } catch (const std::exception&) {
    return false;  // refused with its reason by boostOptions
  }
  return vm.count("help") != 0 || vm.count("version") != 0;
}

bool asksForJson(const std::vector<std::string>& words) {
  for (const std::string& w : words) {
    if (w == "--") break;
    // --json or any prefix of it the parser takes: no other option begins
    // with j.
    if (w.size() >= 3 && w.size() <= 6 && std::string("--json").compare(0, w.size(), w) == 0) return true;
  }
  return false;
}

bool versionShown() { return gVersionShown; }

void setBatchLine(bool batchLine) { gBatchLine = batchLine; }

bool boostOptions(int argc, char** argv) {
  gVersionShown = false;
  gGiven.clear();
  OptionGroups groups;
  const po::options_description accepted = groups.accepted();
  po::positional_options_description positional;
  positional.add("command", -1);

  po::variables_map vm;
  try {
    const po::parsed_options parsed =
        po::command_line_parser(argc, argv).options(accepted).positional(positional).run();
    refuseSecondWord(parsed);
    for (const po::option& o : parsed.options) {
      if (!o.value.empty()) gGiven[o.string_key] = o.value.back();
    }
    po::store(parsed, vm);
    po::notify(vm);
    // The version goes with any command and any other option, even --help.
    if (vm.count("version") != 0) {
      OptionGroups::printVersion();
      gVersionShown = true;
      return false;
    }
    if (vm.count("help") != 0 || argc <= 1) {
      groups.printHelp();
      return false;
    }
    checkCommand(vm);
  } catch (const std::exception& e) {
    std::string why = e.what();
    why.erase(std::remove(why.begin(), why.end(), '\''), why.end());
    std::cerr << "Unable to parse command line: " << why << std::endl;
    groups.printAfterError();
    return false;
  }

  checkMergeFiles(vm);
  if (vm.count("html") != 0 && myGlobals.html.empty()) refuse("Invalid html given: need a file name", 133);
  // Every run of a batch would overwrite one page with the next.
  if (!gBatchLine && !myGlobals.html.empty() && !myGlobals.batchfile.empty()) {
    refuse("Invalid html given: with a batch file, give --html on its lines", 133);
  }
  checkGroups(vm);
  if (myGlobals.updatebw < 1 || myGlobals.updatebw > 9999 || givenNegative("updatebw")) {
    refuse("Valid values are between 1 to 9999 for --updatebw (-s), given " + givenText("updatebw"), 130);
  }
  if (myGlobals.storagever < 1200 || myGlobals.storagever > 1202) refuse("Invalid Storage Ver given", 131);
  if (myGlobals.altHash) myGlobals.hashLength = 16;
  refuseUndefinedValues();

  // The program's own --batchfile leaves the name to each line; a batch
  // line's --batchfile names no file to run (batch files do not nest), so
  // such a line gets its own name like any other. A load without --input
  // has nothing to name its sketch after: the load itself says that the
  // sketch goes with --sketch.
  const bool nameless = myGlobals.command == "load" && myGlobals.input.empty();
  if (myGlobals.sketch.empty() && (myGlobals.batchfile.empty() || gBatchLine) && !nameless) {
    myGlobals.sketch = autoSketchName(myGlobals.command, myGlobals.input);
    // Standard output carries only the JSON object then.
    (myGlobals.json ? std::cerr : std::cout) << "Result data filename not given, auto-generating: "
                                             << myGlobals.sketch << std::endl;
  }
  return true;
}
