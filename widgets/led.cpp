#include "widgets/led.h"

#include <QPainter>
#include <QPixmap>
#include <QTimer>

#include "led_green.xpm"
#include "led_grey.xpm"
#include "led_red.xpm"
#include "led_yellow.xpm"
#include "tlgreen.xpm"
#include "tlred.xpm"
#include "tlyellow.xpm"
#include "trafficlight.xpm"

namespace {

// Room around the image, so that neighbouring lamps in a grid do not touch.
constexpr qreal kFrameScale = 1.2;

void frameImage(QLabel* label, const QPixmap& image) {
  label->setFixedSize(image.size() * kFrameScale);  // QSize * qreal rounds each side
  label->setAlignment(Qt::AlignCenter);
}

const char* const* ledImage(Led::Color color) {
  switch (color) {
    case Led::Green:
      return led_green;
    case Led::Red:
      return led_red;
    case Led::Yellow:
      return led_yellow;
    default:
      return led_grey;
  }
}

}  // namespace

Led::Led(QWidget* parent) : QLabel(parent), _color(Off) {
  const QPixmap dark(led_grey);
  frameImage(this, dark);
  setPixmap(dark);
}

void Led::setColor(Led::Color color) {
  if (color == _color) return;
  _color = color;
  setPixmap(QPixmap(ledImage(color)));
}

void Led::setGreen(bool on) { setColor(on ? Green : Off); }

void Led::setRed(bool on) { setColor(on ? Red : Off); }

void Led::setGreenVsRed(bool green) { setColor(green ? Green : Red); }

TrafficLight::TrafficLight(QWidget* parent)
    : QLabel(parent), _blinkTimer(new QTimer(this)), _status(-1), _phase(true) {
  _blinkTimer->setInterval(kBlinkIntervalMs);
  frameImage(this, QPixmap(trafficlight_xpm));
  setStatus(0);
  connect(_blinkTimer, &QTimer::timeout, this, &TrafficLight::tick);
}

bool TrafficLight::blinking() const { return _blinkTimer->isActive(); }

void TrafficLight::setStatus(int status) {
  if (status == _status) return;
  _status = status;
  const bool blink = (status & BlinkBits) != 0;
  if (blink != _blinkTimer->isActive()) {
    if (blink)
      _blinkTimer->start();
    else
      _blinkTimer->stop();
    _phase = true;
  }
  updateDisplay();
}

void TrafficLight::setColor(int color, bool on) { setStatus(on ? _status | color : _status & ~color); }

void TrafficLight::setGreen(bool on) { setColor(GreenLit, on); }

void TrafficLight::setYellow(bool on) { setColor(YellowLit, on); }

void TrafficLight::setRed(bool on) { setColor(RedLit, on); }

void TrafficLight::tick() {
  _phase = !_phase;
  updateDisplay();
}

void TrafficLight::updateDisplay() {
  struct Lamp {
    int litBit;
    const char* const* image;
  };
  static const Lamp lamps[] = {{GreenLit, tlgreen_xpm}, {YellowLit, tlyellow_xpm}, {RedLit, tlred_xpm}};
  // The blink bit of a lamp sits four places above its lit bit.
  const int lit = _status | (_phase ? _status >> 4 : 0);

  QPixmap image(trafficlight_xpm);
  QPainter painter(&image);
  for (const Lamp& lamp : lamps) {
    if (lit & lamp.litBit) painter.drawPixmap(0, 0, QPixmap(lamp.image));
  }
  painter.end();
  setPixmap(image);
}
