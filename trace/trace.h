// The diagnostic log shared by the program and the device library.
//
// Every function works on the current parameter set, a TraceParams record. Before traceInit()
// nothing is written at all. Each line is the set's prefix (module name and a blank), a kind
// ("ERROR", "FATAL", a time stamp "[12.345]", "QUEST!" or "QUEST?"), ": ", the message and ".\n".
// The error functions take as first argument the condition that holds when all is well and write
// only when it is false, so a call reads as a check:
//     traceError(count < 16385, "Sorting queue overflow: %d", count);
#ifndef RAVIK_TRACE_TRACE_H
#define RAVIK_TRACE_TRACE_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <set>

#include "thread/lxmutex.h"

// Flag bits of TraceParams::flags.
enum TraceFlag : int32_t {
  TRACE_LONG_DUMP = 0x0001,    // telegram lines show up to 128 data words instead of 4
  TRACE_FLUSH = 0x0002,        // flush the stream after every line
  TRACE_TRACE = 0x0004,        // trace and question lines are written; also a telegram category
  TRACE_RANGE = 0x0080,        // admits telegrams to the addresses 0xF00..0xF62
  TRACE_TELL = 0x0100,         // admits TELL telegrams
  TRACE_CATEGORIES = 0x01FC,   // every telegram category
  TRACE_NO_ERRORS = 0x1000,    // error and fatal lines are suppressed
};

// One parameter set. Its address is handed to the device library, which writes into the same
// log, so the memory layout is a fixed contract (x86-64, 168 bytes).
struct TraceParams {
  FILE* stream;          // the log file or stderr
  char prefix[32];       // module name (at most 30 characters) and a blank, or empty
  int32_t flags;         // TraceFlag bits
  int32_t reserved;      // zero
  IMutex lock;           // recursive; held by every writer for a whole line
  bool blackList;        // true: the trace list is a blacklist; false: a whitelist
  double start;          // start time in seconds (millisecond tick count * 0.001)
  std::set<int> traceList;
  std::set<int> hiddenAddr;  // addresses whose telegrams are never traced
};

#if defined(__x86_64__)
// The sets make the record non-standard-layout; offsetof is still exact with this compiler.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(offsetof(TraceParams, stream) == 0, "TraceParams layout");
static_assert(offsetof(TraceParams, prefix) == 8, "TraceParams layout");
static_assert(offsetof(TraceParams, flags) == 40, "TraceParams layout");
static_assert(offsetof(TraceParams, reserved) == 44, "TraceParams layout");
static_assert(offsetof(TraceParams, lock) == 48, "TraceParams layout");
static_assert(offsetof(TraceParams, blackList) == 56, "TraceParams layout");
static_assert(offsetof(TraceParams, start) == 64, "TraceParams layout");
static_assert(offsetof(TraceParams, traceList) == 72, "TraceParams layout");
static_assert(offsetof(TraceParams, hiddenAddr) == 120, "TraceParams layout");
static_assert(sizeof(TraceParams) == 168, "TraceParams layout");
#pragma GCC diagnostic pop
#endif

// A protocol telegram exchanged with a device's controller, as far as the trace reads it.
struct UcTelegram {
  int32_t Len;     // length in bytes; (Len - 16) / 4 data words
  int32_t opCode;  // 0 SET, 1 GET, 2 DO, 3 ACK, 4 TELL, 5 STAT, 6 CHRQ
  int32_t Addr;
  int32_t Ind;
  int32_t CNo;     // high 16 bits signed, low 16 bits unsigned: two numbers
  int32_t data[128];  // in an ACK the first word is the result code
};

// Makes the module's own set current and initialises it: stderr, prefix from `name`, the hidden
// addresses 0x142 and 0x184, start time, log `file` opened anew ("w"), `flags`, and the trace list
// from "tracewhitelist.txt" or "traceblacklist.txt" in the working directory. Called again, it
// starts over: a log file of the previous call is closed first, the hidden addresses stay.
// A log file that cannot be opened is reported on stderr, and the log stays there.
// Meant for start-up, before other threads trace (no lock is taken).
//
// At program end the module's own set is retired before its sets are emptied and its lock is
// destroyed: its flag word becomes TRACE_NO_ERRORS, so that a device library that shares it and
// still traces while the process exits writes nothing and touches neither the lock nor the sets.
// Its stream is left open for the runtime to close.
void traceInit(const char* file, const char* name, int flags);
// Makes another module's set current; changes nothing else.
void traceInit(TraceParams* params);
// The module's own set, whichever set is current.
TraceParams* traceGetParamset();
void traceSetFlags(int flags);
// Redirects the log to `path` (opened "w"); null or empty returns it to stderr. A file that
// cannot be opened is reported as an error line and the current stream stays.
void traceSetFile(const char* path);

// Error line when !ok; with the log in a file the line is copied to stdout. Returns whether a line
// was written (false before init and with TRACE_NO_ERRORS).
bool traceError(bool ok, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The same with "FATAL"; does not end the process.
bool traceFatal(bool ok, const char* format, ...) __attribute__((format(printf, 2, 3)));
// When !ok writes "Assertion failed: file#line" as a fatal line and, if it was written, exits
// with status 1.
void traceAssert(bool ok, const char* file, int line);
// Error line "<what> - <system text of errno>", or "<what> - WSA_Error #<code>" with the last
// socket error (errno) when `socket` is true. The message is cut to 1023 characters.
bool traceOsError(bool ok, const char* what, bool socket);
// Trace line with a time stamp; only with TRACE_TRACE. Never copied to stdout.
void traceTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Text of a result code: "ok", "invalid address", "out of range", "unknown error", or the number
// (in a static buffer that the next such call overwrites).
const char* tracePrintReason(int code);

// Trace list and telegrams. The lists are changed without the lock: set them up at start-up.
//
// Loads the trace list: "tracewhitelist.txt" if it can be opened (whitelist), otherwise
// "traceblacklist.txt" (blacklist), otherwise an empty blacklist. A file holds pairs "from to" in
// scanf %i notation (decimal, 0x.. hexadecimal, 0.. octal); the first item that is not an integer
// ends the reading.
void traceInitLists();
// Empties the trace list; `white` chooses whitelist mode, otherwise blacklist.
void traceInitTraceList(bool white);
// Lists every address from `from` to `to`, both included; nothing when from > to.
void traceAddTraceList(int from, int to);
// Telegrams to `addr` are never traced.
void traceAddSecretAddr(int addr);
// Trace line "<prefix>: <command> Len=.. Addr=.. Ind=.. CNo=<high>-<low>" and up to 4 data words
// (128 with TRACE_LONG_DUMP), when `category` (bits of TRACE_CATEGORIES) meets the flags, the
// telegram is not hidden and the trace list lets its address pass. Range telegrams (0xF00..0xF62)
// also need TRACE_RANGE and TELL telegrams TRACE_TELL, unless `category` is TRACE_CATEGORIES.
void traceTelegram(const char* prefix, const UcTelegram* tel, int category);
// Error line describing the telegram when !ok, with " Rc=<first data word>" for an ACK; no
// filter but TRACE_NO_ERRORS applies. The message is cut to 1023 characters (a very long
// prefix may cut off the Rc).
bool traceTelError(bool ok, const char* prefix, const UcTelegram* tel);
// Question lines ("QUEST!"), only with TRACE_TRACE.
void traceQuestion(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Writes "QUEST?" (only with TRACE_TRACE) and reads a decimal integer from stdin, then traces
// "Answer = <n>" and returns it. It never asks forever: when stdin has ended or fails the answer
// is 0 at once; after text that is not a number the rest of that input line is skipped and the
// question asked again, at most 5 times in all, after which the answer is 0.
int traceReply(const char* format, ...) __attribute__((format(printf, 1, 2)));

#endif
