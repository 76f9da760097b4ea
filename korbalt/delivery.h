// The library's thread that streams every connected device's data to the event callback.
//
// Paced mode follows the wall clock: every tick each device produces what it measured since the
// last tick, in blocks. A receiver that holds the thread up makes the next catch-up larger; more
// than the device's buffer holds is lost, as on hardware: the device raises its loss flag and
// restarts its stream at the present time. At maximum rate the devices take turns delivering
// full blocks as fast as the callback returns. A device that replays a file (see ReplaySource)
// loses nothing: a receiver that holds it up only delays it.
#ifndef RAVIK_KORBALT_DELIVERY_H
#define RAVIK_KORBALT_DELIVERY_H

#include <stdint.h>

#include <atomic>
#include <memory>
#include <vector>

#include "device/korbalt.h"
#include "korbalt/library.h"
#include "thread/lxmutex.h"
#include "thread/lxthread.h"

namespace korbalt {

class Delivery : public IThread {
public:
  // Called with the library's lock held; takes the library's devices as they are now.
  Delivery(Library& library, KorbaltEventCallback callback);
  ~Delivery() override;

  void setCallback(KorbaltEventCallback callback) { _callback.store(callback); }
  // Asks the thread to end; no callback starts afterwards. wait() then joins it.
  void stop();
  void run() override;

private:
  struct Stream;

  void snapshot();
  // One pass over the devices; `now` is the axis time to catch up to, kNever at maximum rate.
  void deliverAll(int64_t now);
  void deliver(Stream& s, int64_t now);
  // Produces up to `until` into the stream's block and hands it over; false once stopped.
  bool deliverBlock(Stream& s, int64_t until, int32_t* words);
  void loseData(Stream& s, int64_t restartAt);
  bool stopping() const { return _stop.load(std::memory_order_acquire); }

  Library& _library;
  const bool _maxRate;
  const int32_t _blockWords;
  const int32_t _fifoWords;
  std::vector<std::unique_ptr<Stream>> _streams;
  std::atomic<KorbaltEventCallback> _callback;
  std::atomic<bool> _stop{false};
  IMutex _waitLock;
  IWaitCondition _wake;
};

}  // namespace korbalt

#endif
