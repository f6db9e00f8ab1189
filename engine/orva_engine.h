// orva_engine.h: what the engine's own files share; not part of the C interface.
#pragma once

#include <sched.h>

#include <cstdio>

#include <string>
#include <string_view>
#include <vector>

#include "orva.h"

// Seconds of silence after which a transcoder counts as hanging.
constexpr int kOrvaHangSeconds = 30;
constexpr int kOrvaLineSize = 4000;      // the whole command line of one process
constexpr int kOrvaChunkSize = 4096;     // one read of transcoder output, terminated

// Lets tests shorten the hang check; the service never calls it.
void orvaSetHangTimeout(int seconds);
int orvaHangTimeout();

// Progress parser: handles one chunk of a slot's output (the poll's callback).
long orvaParseProgress(int slot, const char* chunk);

// Processor set of a slot: cpuPerChannel processors from (cpuPerChannel * slot) mod cpuCount.
void orvaComputeCpuSet(int slot, int cpuPerChannel, int cpuCount, cpu_set_t* set);

// Process handling (orva_proc.cpp). The caller has checked the slot.
int orvaLaunch(int slot, std::string_view commandLine);
bool orvaReap(int slot);               // true when the slot's process has ended and is reaped
void orvaSignal(int slot, int signal);
void orvaCollectEvents(bool* readable, bool* ended);  // arrays of ORVA_SLOT_COUNT
void orvaReleaseProcesses();           // closes pipes and watches of every slot
// After two slots' records were exchanged, their exit watches and the tags
// of their pipes follow them.
void orvaSwapWatches(int slotA, int slotB);
void orvaOpenWatches();

bool orvaSlotInRange(int slot);

// The environment variables (each "NAME=value") that tell a slot's
// transcoder its channel's continuity settings and, for a channel slot, the
// target of each output of its line ("ORVAL_TARGETS=1,1,3"); built before
// the fork.
constexpr size_t kOrvaContinuityVariableCount = 8;
extern const std::string_view kOrvaContinuityVariables[kOrvaContinuityVariableCount];  // "NAME="
std::vector<std::string> orvaContinuityEnvironment(int slot);
// The target number of each output of the line the slot launches next, in
// line order; the recorder slots ignore it, and an empty list passes none.
void orvaSetLineTargets(int slot, const std::vector<int>& targetOfOutput);

// Lines of a slot's output (orva_alarms.cpp). Takes one chunk, acts on the
// alarm lines in it, and says whether a line of the encoder (one without
// the launcher's "orval-input: " or "orval-alarm: " in front) holds a
// message after which the transcoder's output is no longer usable. The
// unfinished tail of a line waits for the next chunk.
bool orvaTakeOutputLines(int slot, std::string_view chunk);
// A slot's run began, or ended: the line state is reset, and at the end
// every alarm the run raised is cleared.
void orvaAlarmsRunLaunched(int slot);
void orvaAlarmsRunEnded(int slot);
void orvaSwapAlarms(int slotA, int slotB);
void orvaResetAlarms();

// Run records (orva_runs.cpp): the engine tells them of each launch, each
// chunk of output, each hang kill and each reaped process. The caller has
// checked the slot.
void orvaRunLaunched(int slot);
void orvaRunOutput(int slot, std::string_view chunk);
void orvaRunHangKill(int slot);
void orvaRunReaped(int slot, int waitStatus);
void orvaSwapRuns(int slotA, int slotB);
void orvaResetRuns();

// Log files named by their stem (the path without ".log"), rotated into
// generations "<stem>-1.log" to "<stem>-9.log" above 5,000,000 bytes.
void orvaRotateLog(const char* stem);
// Appends `text`; a stamped text gets the time in front and a line end when
// it has none. Returns -1 when the log cannot be opened.
int orvaAppendLog(const char* stem, bool stamped, const char* text);
// Slot logs stay open between lines; the engine's release closes them.
void orvaCloseSlotLogs();

// SDP: the encoding name of a codec, and the reader behind orvaImportSdp.
const char* orvaSdpEncodingName(unsigned codec);
int orvaImportSdpInternal(FILE* stream, ORVA_VIDEO_TAG* video, ORVA_AUDIO_TAG* audio,
                          int targetSide);
