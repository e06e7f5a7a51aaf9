#include "base/run_globals.h"

RunGlobals myGlobals;
std::vector<std::string> vecInp;

void RunGlobals::resetForNextLine() {
  const RunGlobals fresh;
  version = fresh.version;
  blockSize = fresh.blockSize;
  altHash = fresh.altHash;
  readChunkBlocks = fresh.readChunkBlocks;
  segmentSize = fresh.segmentSize;
  maxNumSamples = fresh.maxNumSamples;
  hashLength = fresh.hashLength;
  hashSize = fresh.hashSize;
  sha1Words = fresh.sha1Words;
  progressBarWidth = fresh.progressBarWidth;
  spinnerPhases = fresh.spinnerPhases;
  recoverBlocks = fresh.recoverBlocks;
  metaWeightZero = fresh.metaWeightZero;
  metaWeightUnique = fresh.metaWeightUnique;
  metaWeightDup = fresh.metaWeightDup;
  randomBytes = fresh.randomBytes;
  maxMBPs = fresh.maxMBPs;
  loglevel = fresh.loglevel;
  threads = fresh.threads;
  updatebw = fresh.updatebw;
  minSecsRecovery = fresh.minSecsRecovery;
  samplesCompressed = 0;
  samplesZero = 0;
  cmpRequestsDone = 0;
  readsIssued = 0;
  sha1Done = 0;
  storagever = fresh.storagever;
  input = fresh.input;
  machineSize = fresh.machineSize;
  machineBlocks = fresh.machineBlocks;
  partitionParam = fresh.partitionParam;
  partitionBytes = fresh.partitionBytes;
  command = fresh.command;
  paddingDivisor = fresh.paddingDivisor;
  readcmpRequestsMaxQ = fresh.readcmpRequestsMaxQ;
  readRequestsMaxQ = fresh.readRequestsMaxQ;
  hashRequestsMaxQ = fresh.hashRequestsMaxQ;
  mergeall = fresh.mergeall;
  json = fresh.json;
  groups = fresh.groups;
  html = fresh.html;
  mergeAllThreshold = fresh.mergeAllThreshold;
}
