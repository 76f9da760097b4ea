// The stop signals (SIGINT, SIGTERM, SIGHUP) turned into a Qt signal, so that Ctrl-C in the
// terminal that started the window, a closed terminal or the end of a session close the window
// the way Quit does (the recording stopped and kept, partial outputs removed) rather than
// killing it with its devices streaming and its outputs half written.
#ifndef RAVIK_APP_STOPSIGNALS_H
#define RAVIK_APP_STOPSIGNALS_H

#include <QObject>

class QSocketNotifier;

class StopSignals : public QObject {
  Q_OBJECT

public:
  // Installs the handlers; one instance at a time. Without a pipe for them (no descriptor
  // left), the signals keep their default action.
  explicit StopSignals(QObject* parent = nullptr);
  // Gives the signals their default action back.
  ~StopSignals() override;
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // The first stop signal that came, 0 while none has.
  int received() const { return _received; }

signals:
  // Once per signal, from the event loop (never from the handler itself).
  void stopRequested(int signal);

private:
  void readSignals();

  int _pipe[2] = {-1, -1};
  QSocketNotifier* _notifier = nullptr;
  int _received = 0;
};

#endif
