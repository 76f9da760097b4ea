#include "trace/trace.h"

#include <errno.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

// The module's own parameter set and the current one. _prm is constant-initialised to null, so
// calls that come before traceInit (even from other units' static initialisers) write nothing.
static TraceParams _localParams;
static TraceParams* _prm = nullptr;

namespace {

// Retires _localParams at program end, before its destructor empties the sets and destroys the
// lock (objects of one unit are destroyed in reverse order of definition). A device library that
// shares the set may still trace while the process exits: with the flag word reduced to
// TRACE_NO_ERRORS every writer returns before it touches the lock or the sets.
struct LocalParamsRetirement {
  ~LocalParamsRetirement() {
    _localParams.lock.lock();  // lets a line in progress end
    _localParams.flags = TRACE_NO_ERRORS;
    if (_prm == &_localParams) _prm = nullptr;
    _localParams.traceList.clear();
    _localParams.hiddenAddr.clear();
    _localParams.lock.unlock();
  }
};
LocalParamsRetirement _retirement;

const char* const kWhiteListFile = "tracewhitelist.txt";
const char* const kBlackListFile = "traceblacklist.txt";
const int kMaxReplyQuestions = 5;
const int kOpAck = 3;
const int kOpTell = 4;

// The operating system's millisecond tick count; it wraps after about 49.7 days.
uint32_t tickCount() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u +
                               static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

FILE* streamOf(const TraceParams* p) { return p->stream ? p->stream : stderr; }

void writeLine(FILE* out, const char* prefix, const char* kind, const char* format, va_list args) {
  fprintf(out, "%s%s: ", prefix, kind);
  vfprintf(out, format, args);
  fputs(".\n", out);
}

// Writes one whole line under the set's lock; error lines are copied to stdout when the log is
// in a file, so that they are seen on the console as well.
void emitLine(TraceParams* p, const char* kind, bool copyToStdout, const char* format,
              va_list args) {
  FILE* out = streamOf(p);
  p->lock.lock();
  va_list again;
  va_copy(again, args);
  writeLine(out, p->prefix, kind, format, args);
  if (p->flags & TRACE_FLUSH) fflush(out);
  if (copyToStdout && out != stderr) writeLine(stdout, p->prefix, kind, format, again);
  va_end(again);
  p->lock.unlock();
}

bool errorLine(bool ok, const char* kind, const char* format, va_list args) {
  TraceParams* p = _prm;
  if (ok || !p || (p->flags & TRACE_NO_ERRORS)) return false;
  emitLine(p, kind, true, format, args);
  return true;
}

// The question line; shown only with TRACE_TRACE.
void questionLine(const char* kind, const char* format, va_list args) {
  TraceParams* p = _prm;
  if (p && (p->flags & TRACE_TRACE)) emitLine(p, kind, false, format, args);
}

void readPairs(FILE* f) {
  int from, to;
  while (fscanf(f, " %i %i ", &from, &to) == 2) traceAddTraceList(from, to);
}

// Loads the list from `path` in the given mode; false when the file cannot be opened.
bool loadList(const char* path, bool white) {
  FILE* f = fopen(path, "r");
  if (!f) return false;
  traceInitTraceList(white);
  readPairs(f);
  fclose(f);
  return true;
}

// strerror_r comes in two shapes (GNU returns the text, XSI fills the buffer); both are served.
[[maybe_unused]] const char* errorText(const char* gnuResult, const char*) { return gnuResult; }
[[maybe_unused]] const char* errorText(int, const char* buffer) { return buffer; }

// Both halves of CNo: the high one signed, the low one unsigned.
int channelHigh(int32_t cno) { return static_cast<int16_t>(static_cast<uint32_t>(cno) >> 16); }
int channelLow(int32_t cno) { return static_cast<int>(static_cast<uint32_t>(cno) & 0xFFFFu); }

// The data words of a telegram line, each as " %x"; short dumps show 4 words.
void dumpData(char* out, size_t size, const UcTelegram* tel, int flags) {
  int words = tel->Len >= 20 ? (tel->Len - 16) / 4 : 0;
  int shown = words <= 4 ? words : ((flags & TRACE_LONG_DUMP) ? (words < 128 ? words : 128) : 4);
  size_t used = 0;
  for (int i = 0; i < shown && used < size; ++i)
    used += snprintf(out + used, size - used, " %x", static_cast<uint32_t>(tel->data[i]));
}

}  // namespace

// The command name, always four characters; unknown codes share one static buffer.
static const char* dumpOpCode(int opCode) {
  static const char* const kNames[] = {"SET ", "GET ", "DO  ", "ACK ", "TELL", "STAT", "CHRQ"};
  static char unknown[64];
  if (opCode >= 0 && opCode < 7) return kNames[opCode];
  snprintf(unknown, sizeof unknown, "!!!%x!!!", static_cast<unsigned>(opCode));
  return unknown;
}

void traceInit(const char* file, const char* name, int flags) {
  // A log file left open would flush its buffered lines into the file opened anew below.
  if (_localParams.stream && _localParams.stream != stderr) fclose(_localParams.stream);
  _prm = &_localParams;
  _localParams.stream = stderr;
  _localParams.prefix[0] = '\0';
  _localParams.flags = 0;
  _localParams.reserved = 0;
  _localParams.blackList = true;
  traceAddSecretAddr(0x142);
  traceAddSecretAddr(0x184);
  _localParams.start = tickCount() * 0.001;
  if (name && *name) {
    size_t n = strnlen(name, 30);
    memcpy(_localParams.prefix, name, n);
    _localParams.prefix[n] = ' ';
    _localParams.prefix[n + 1] = '\0';
  }
  traceSetFile(file);
  _localParams.flags = flags;
  traceInitLists();
}

void traceInit(TraceParams* params) { _prm = params; }

TraceParams* traceGetParamset() { return &_localParams; }

void traceSetFlags(int flags) {
  if (_prm) _prm->flags = flags;
}

void traceSetFile(const char* path) {
  TraceParams* p = _prm;
  if (!p) return;
  FILE* next = stderr;
  if (path && *path) {
    next = fopen(path, "w");
    if (!next) {
      traceError(false, "Failed to open Logfile %s", path);
      return;
    }
  }
  if (p->stream && p->stream != stderr) fclose(p->stream);
  p->stream = next;
}

bool traceError(bool ok, const char* format, ...) {
  va_list args;
  va_start(args, format);
  bool written = errorLine(ok, "ERROR", format, args);
  va_end(args);
  return written;
}

bool traceFatal(bool ok, const char* format, ...) {
  va_list args;
  va_start(args, format);
  bool written = errorLine(ok, "FATAL", format, args);
  va_end(args);
  return written;
}

void traceAssert(bool ok, const char* file, int line) {
  if (traceFatal(ok, "Assertion failed: %s#%d", file, line)) exit(1);
}

bool traceOsError(bool ok, const char* what, bool socket) {
  if (ok) return false;
  int code = errno;
  char message[1024];
  if (socket) {
    snprintf(message, sizeof message, "%s - WSA_Error #%d", what, code);
  } else {
    char buffer[256];
    snprintf(message, sizeof message, "%s - %s", what,
             errorText(strerror_r(code, buffer, sizeof buffer), buffer));
  }
  return traceError(false, "%s", message);
}

void traceTrace(const char* format, ...) {
  TraceParams* p = _prm;
  char stamp[32];
  snprintf(stamp, sizeof stamp, "[%.3f]", tickCount() * 0.001 - (p ? p->start : 0.0));
  if (!p || !(p->flags & TRACE_TRACE)) return;
  va_list args;
  va_start(args, format);
  emitLine(p, stamp, false, format, args);
  va_end(args);
}

const char* tracePrintReason(int code) {
  static char number[32];
  switch (code) {
    case 0: return "ok";
    case 1: return "invalid address";
    case 2: return "out of range";
    case 99: return "unknown error";
  }
  snprintf(number, sizeof number, "%d", code);
  return number;
}

void traceInitLists() {
  if (loadList(kWhiteListFile, true) || loadList(kBlackListFile, false)) return;
  traceInitTraceList(false);
}

void traceInitTraceList(bool white) {
  if (!_prm) return;
  _prm->traceList.clear();
  _prm->blackList = !white;
}

void traceAddTraceList(int from, int to) {
  if (!_prm) return;
  // 64-bit so that a range ending at INT32_MAX ends.
  for (int64_t addr = from; addr <= to; ++addr) _prm->traceList.insert(static_cast<int>(addr));
}

void traceAddSecretAddr(int addr) {
  if (_prm) _prm->hiddenAddr.insert(addr);
}

void traceTelegram(const char* prefix, const UcTelegram* tel, int category) {
  bool allCategories = category == TRACE_CATEGORIES;
  bool range = tel->Addr >= 0xF00 && tel->Addr <= 0xF62;
  bool tell = !range && tel->opCode == kOpTell;
  TraceParams* p = _prm;
  if (!p) return;
  int flags = p->flags;
  if (!(category & flags & TRACE_CATEGORIES)) return;
  if (!allCategories && range && !(flags & TRACE_RANGE)) return;
  if (!allCategories && tell && !(flags & TRACE_TELL)) return;
  if (p->hiddenAddr.count(tel->Addr)) return;
  if (p->blackList == (p->traceList.count(tel->Addr) != 0)) return;
  char dump[1280] = {0};
  dumpData(dump, sizeof dump, tel, flags);
  traceTrace("%s: %s Len=%d Addr=%02x Ind=%d CNo=%d-%d%s", prefix, dumpOpCode(tel->opCode),
             tel->Len, static_cast<unsigned>(tel->Addr), tel->Ind, channelHigh(tel->CNo),
             channelLow(tel->CNo), dump);
}

bool traceTelError(bool ok, const char* prefix, const UcTelegram* tel) {
  if (ok) return false;
  char message[1024];
  int used = snprintf(message, sizeof message, "%s: %s Len=%d Addr=%02x Ind=%d CNo=%d-%d", prefix,
                      dumpOpCode(tel->opCode), tel->Len, static_cast<unsigned>(tel->Addr),
                      tel->Ind, channelHigh(tel->CNo), channelLow(tel->CNo));
  if (tel->opCode == kOpAck && used >= 0 && static_cast<size_t>(used) < sizeof message)
    snprintf(message + used, sizeof message - used, " Rc=%d", tel->data[0]);
  return traceError(false, "%s", message);
}

void traceQuestion(const char* format, ...) {
  va_list args;
  va_start(args, format);
  questionLine("QUEST!", format, args);
  va_end(args);
}

// Skips the rest of the current input line; false when the input has ended.
static bool skipLine() {
  int c;
  while ((c = getchar()) != EOF)
    if (c == '\n') return true;
  return false;
}

int traceReply(const char* format, ...) {
  int answer = 0;
  for (int asked = 0; asked < kMaxReplyQuestions; ++asked) {
    va_list args;
    va_start(args, format);
    questionLine("QUEST?", format, args);
    va_end(args);
    int got = scanf("%d", &answer);
    if (got == 1) break;
    answer = 0;
    if (got == EOF || !skipLine()) break;
  }
  traceTrace("Answer = %d", answer);
  return answer;
}
