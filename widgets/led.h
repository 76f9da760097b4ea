#ifndef RAVIK_WIDGETS_LED_H
#define RAVIK_WIDGETS_LED_H

// Status lamps drawn from built-in images. Both widgets are labels of 1.2 times their image's size
// with the image centred. They build a fresh pixmap only when what they show changes; an unchanged
// state leaves the label's pixmap (and its cache key) alone.

#include <QLabel>
#include <cstdint>

class QTimer;

// A single lamp: dark, green, red or yellow. What each colour means is up to its user.
class Led : public QLabel {
  Q_OBJECT

 public:
  // A fixed underlying type keeps any int a valid Color: a value outside Green..Yellow is stored
  // as given and shown dark.
  enum Color : int { Off, Green, Red, Yellow };

  // Starts Off.
  explicit Led(QWidget* parent);

  Color color() const { return _color; }

 public slots:
  void setColor(Led::Color color);
  // On: Green; off: Off, whatever the colour was.
  void setGreen(bool on);
  // On: Red; off: Off, whatever the colour was.
  void setRed(bool on);
  // Green or Red, never Off.
  void setGreenVsRed(bool green);

 private:
  Color _color;
};

// Three lamps, red above yellow above green, each dark, lit or blinking. The status is a bit mask
// of StatusBit values; a lit bit wins over the same lamp's blink bit.
class TrafficLight : public QLabel {
  Q_OBJECT

 public:
  enum StatusBit : int {
    GreenLit = 0x01,
    YellowLit = 0x02,
    RedLit = 0x04,
    GreenBlinks = 0x10,
    YellowBlinks = 0x20,
    RedBlinks = 0x40,
    // Any of these keeps the blink timer running, 0x80 even without a lamp of its own.
    BlinkBits = 0xF0,
  };
  static constexpr int kBlinkIntervalMs = 250;

  // Starts with all lamps dark and the blink timer stopped.
  explicit TrafficLight(QWidget* parent);

  int status() const { return _status; }
  // Blinking lamps are lit while the phase is true; every start of the timer begins lit.
  bool phase() const { return _phase; }
  bool blinking() const;

 public slots:
  void setStatus(int status);
  // Sets (on) or clears the bits of `color` in the status.
  void setColor(int color, bool on);
  void setGreen(bool on);
  void setYellow(bool on);
  void setRed(bool on);

 private slots:
  void tick();
  void updateDisplay();

 private:
  QTimer* _blinkTimer;  // child of this widget
  int32_t _status;
  bool _phase;
};

#endif  // RAVIK_WIDGETS_LED_H
