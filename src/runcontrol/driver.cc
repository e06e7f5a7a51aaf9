#include "runcontrol/driver.h"

#include <boost/thread/thread.hpp>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <string>
#include <vector>

#include "runcontrol/command_lines.h"
#include "runcontrol/commands.h"
#include "runcontrol/elapsed.h"
#include "runcontrol/end_run.h"
#include "base/exit_status.h"
#include "base/run_failure.h"
#include "base/interrupt.h"
#include "runcontrol/html_report.h"
#include "runcontrol/json_report.h"
#include "runcontrol/options.h"
#include "base/run_globals.h"
#include "base/run_log.h"
#include "base/run_state.h"
#include "scan/requests.h"

CommandSet productCommands() { return {scanCommand, loadCommand, partialScanCommand, mergeCommand}; }

namespace {

// Request queues accept everything; the producers bound them (maxSize is
// their bound, read by nobody but them).
constexpr int kQueueLevel = 7;

void createQueues() {
  readRequests = new concurrent_queue<readReq*>;
  hashRequests = new concurrent_queue<hashReq*>;
  readcmpRequests = new concurrent_queue<hashReq*>;
  cmpRequests = new concurrent_queue<hashReq*>;
}

// Levels and bounds come from the first parse only; batch lines keep them.
// Called only after that parse succeeded: on help or a parse error the
// values were never checked, so the program ends before anything is sized
// from them.
void applyStartupSettings() {
  const int loglevel = static_cast<int>(myGlobals.loglevel);
  LogLinesQ->setLogLevel(loglevel);
  td.level = loglevel;
  readRequests->setLogLevel(kQueueLevel);
  hashRequests->setLogLevel(kQueueLevel);
  readcmpRequests->setLogLevel(kQueueLevel);
  cmpRequests->setLogLevel(kQueueLevel);
  // The successful parse refused bounds whose product with threads leaves
  // int, and a maxMBPs beyond what the limiter's slot table may hold.
  const int threads = static_cast<int>(myGlobals.threads);
  readcmpRequests->maxSize = myGlobals.readcmpRequestsMaxQ * threads;
  readRequests->maxSize = myGlobals.readRequestsMaxQ * threads;
  hashRequests->maxSize = myGlobals.hashRequestsMaxQ * threads;
  gThrottle = new Throttle;
  gThrottle->slots.assign(myGlobals.maxMBPs, 0);
}

void runCommand(const CommandSet& commands, const std::string& command) {
  if (command == "scan") commands.scan();
  else if (command == "load") commands.load();
  else if (command == "partialscan") commands.partialscan();
  else if (command == "merge") commands.merge();
}

// What a run left behind (requests of an aborted scan) is freed before the
// next run starts.
void emptyQueues() {
  readRequests->drain();
  readcmpRequests->drain();
  cmpRequests->drain();
  hashRequests->drain();
}

// Re-parses one batch line into a fresh myGlobals.
bool parseLine(const char* program, const std::string& line) {
  if (line.size() > kBatchLineMax) return false;
  std::vector<std::string> words;
  try {
    words = splitCommandLine(line);
  } catch (const std::exception&) {
    return false;  // reported as a line that cannot be parsed
  }
  myGlobals.resetForNextLine();
  std::vector<char*> args;
  args.push_back(const_cast<char*>(program));
  for (std::string& w : words) args.push_back(w.data());
  args.push_back(nullptr);
  setBatchLine(true);
  const bool ok = boostOptions(static_cast<int>(args.size()) - 1, args.data());
  setBatchLine(false);
  return ok;
}

// Whether a batch line asks for --json; a line that cannot be split does
// not (it is refused as it is).
bool lineAsksForJson(const std::string& line) {
  if (line.size() > kBatchLineMax) return false;
  try {
    return asksForJson(splitCommandLine(line));
  } catch (const std::exception&) {
    return false;
  }
}

// The fields every run's JSON object has, then what its command filled in.
nlohmann::ordered_json runJson(double seconds) {
  nlohmann::ordered_json j;
  j["command"] = myGlobals.command;
  j["version"] = myGlobals.version + " (build " + std::to_string(kBuildNumber) + ")";
  const nlohmann::ordered_json& body = gRunJson.body;
  j["sources"] = body.contains("sources") ? body["sources"] : nlohmann::ordered_json::array({myGlobals.input});
  j["sketch_file"] = myGlobals.sketch;
  j["block_size"] = myGlobals.blockSize;
  j["elapsed_seconds"] = seconds;
  for (auto it = body.begin(); it != body.end(); ++it) {
    if (it.key() != "sources") j[it.key()] = it.value();
  }
  return j;
}

// What the run's page may not overwrite: what the run reads.
std::vector<std::string> runSources() {
  if (myGlobals.command == "merge") return vecInp;
  if (myGlobals.command == "load") return {myGlobals.sketch};
  return {myGlobals.input};
}

// The end marker bypasses the level filter, so even loglevel 0 ends the log
// with its end line.
void closeLog(boost::thread& sweeper, std::ofstream* log) {
  LogLinesQ->pushUnfiltered(new std::string(kEndOfExecution));
  sweeper.join();
  gLogSweeper = nullptr;
  delete log;  // the sweeper, its only user, has ended
}

}  // namespace

int runDezevazir(int argc, char** argv, const CommandSet& commands) {
  createQueues();

  // Under --json standard output holds JSON or nothing: the help, the
  // version and the help after a refused line go to standard error.
  std::streambuf* const realOut = std::cout.rdbuf();
  const bool jsonWords = asksForJson(std::vector<std::string>(argv + std::min(argc, 1), argv + argc));
  if (jsonWords) std::cout.rdbuf(std::cerr.rdbuf());

  // The help and the version run nothing: they neither need nor touch the
  // run log, so they work where it cannot be written and leave the last
  // run's log as it was.
  if (asksOnlyForHelpOrVersion(argc, argv)) {
    boostOptions(argc, argv);
    std::cout.rdbuf(realOut);
    return versionShown() ? 0 : kExitCommandLine;
  }

  std::string commandLine;
  for (int i = 0; i < argc; ++i) {
    commandLine += argv[i];
    commandLine += ' ';
  }
  std::ofstream* log = openLogFile(commandLine);
  if (log == nullptr) {
    std::cerr << "Error opening logfile: " << kLogFileName << std::endl;
    std::exit(kExitNoRunLog);
  }
  boost::thread sweeper(logLineSweeper, log);
  gLogSweeper = &sweeper;
  installInterruptHandlers();

  // The help and the version were shown above: false is a refusal.
  if (!boostOptions(argc, argv)) std::exit(kExitCommandLine);
  applyStartupSettings();

  // With --json on the program's own line, standard output carries only the
  // runs' JSON objects (JSON Lines in batch mode); all else goes to standard
  // error. A batch line's own --json does the same for its run.
  std::ostream jsonOut(realOut);
  const bool programJson = myGlobals.json;
  std::cout.rdbuf(programJson ? std::cerr.rdbuf() : realOut);

  bool unreadable = false;
  const std::vector<std::string> lines = buildCommandLines(argc, argv, myGlobals.batchfile, &unreadable);
  // The program's own single line was parsed above; batch lines are not.
  const bool reparse = lines.size() > 1 || !myGlobals.batchfile.empty();
  // A batch file that cannot be read, or a line that cannot be parsed, ends
  // the batch with status 123 once the other lines have run.
  bool failed = unreadable;

  for (size_t i = 0; i < lines.size(); ++i) {
    const size_t n = i + 1;
    const std::string& line = lines[i];
    if (isSkippedLine(line)) continue;
    // A line's own --json keeps its echo and what its parse prints off
    // standard output too.
    std::cout.rdbuf(programJson || (reparse && lineAsksForJson(line)) ? std::cerr.rdbuf() : realOut);
    if (lines.size() > 1) {
      std::cout << argv[0] << ' ' << line << std::endl;
      // Each line names its own sketch unless it gives one.
      if (n != 1) myGlobals.sketch.clear();
    }
    if (reparse && !parseLine(argv[0], line)) {
      // A line that only asks for the version has done what it asked.
      if (!versionShown()) {
        std::cerr << "Error parsing line #" << n << std::endl;
        failed = true;
      }
      continue;
    }

    const bool json = programJson || myGlobals.json;
    std::cout.rdbuf(json ? std::cerr.rdbuf() : realOut);
    gRunJson = RunJson();
    gRunHtml = RunHtml();
    gRunHtml.file = myGlobals.html;
    const bool html = !gRunHtml.file.empty();
    // The page is drawn from the JSON object, so the commands fill it in.
    gRunJson.wanted = json || html;
    if (html) runOrEnd([] { refuseUnwritablePage(gRunHtml.file, runSources(), myGlobals.sketch); });

    const auto start = std::chrono::steady_clock::now();
    const time_t startTime = std::time(nullptr);
    gRunHtml.started = startTime;
    ioErrorCount = 0;
    ioAbortFlag = 0;
    runCommand(commands, myGlobals.command);
    const time_t end = std::time(nullptr);
    std::cout << timeConsumedLine(static_cast<long>(std::difftime(end, startTime))) << std::endl;
    if ((json || html) && gRunJson.ready) {
      const nlohmann::ordered_json run =
          runJson(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
      if (json) jsonOut << run.dump() << std::endl;
      std::string why;
      if (html && !saveHtmlPage(run, gRunHtml, &why)) {
        endRun(RunFailure(kExitSketchNotWritten, "Cannot write the HTML page " + gRunHtml.file + ": " + why));
      }
    } else if (html) {
      std::cerr << "No HTML page written to " << gRunHtml.file << ": this run has no estimate" << std::endl;
    }
    emptyQueues();
  }
  std::cout.rdbuf(realOut);

  closeLog(sweeper, log);
  return failed ? kExitCommandLine : kExitOk;
}
