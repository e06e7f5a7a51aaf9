#include "runcontrol/driver.h"

#include <boost/thread/thread.hpp>
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

  if (!boostOptions(argc, argv)) {
    if (!versionShown()) std::exit(123);
    // Asking for the version is a complete, successful run.
    closeLog(sweeper, log);
    return 0;
  }
  applyStartupSettings();

  // With --json on the program's own line, standard output carries only the
  // runs' JSON objects (JSON Lines in batch mode); all else goes to standard
  // error. A batch line's own --json does the same for its run.
  std::streambuf* const realOut = std::cout.rdbuf();
  std::ostream jsonOut(realOut);
  const bool programJson = myGlobals.json;
  if (programJson) std::cout.rdbuf(std::cerr.rdbuf());

  const std::vector<std::string> lines = buildCommandLines(argc, argv, myGlobals.batchfile);
  // The program's own single line was parsed above; batch lines are not.
  const bool reparse = lines.size() > 1 || !myGlobals.batchfile.empty();

  for (size_t i = 0; i < lines.size(); ++i) {
    const size_t n = i + 1;
    const std::string& line = lines[i];
    if (isSkippedLine(line)) continue;
    if (lines.size() > 1) {
      std::cout << argv[0] << ' ' << line << std::endl;
      // Each line names its own sketch unless it gives one.
      if (n != 1) myGlobals.sketch.clear();
    }
    if (reparse && !parseLine(argv[0], line)) {
      // A line that only asks for the version has done what it asked.
      if (!versionShown()) std::cerr << "Error parsing line #" << n << std::endl;
      continue;
    }

    const bool json = programJson || myGlobals.json;
    if (json) std::cout.rdbuf(std::cerr.rdbuf());
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
    if (json && !programJson) std::cout.rdbuf(realOut);
    emptyQueues();
  }
  std::cout.rdbuf(realOut);

  closeLog(sweeper, log);
  return 0;
}
