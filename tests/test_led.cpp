// Led and TrafficLight: state changes, when the image is replaced, and what the image shows.
#include <gtest/gtest.h>

#include <QApplication>

#include "led_green.xpm"
#include "led_grey.xpm"
#include "led_red.xpm"
#include "led_yellow.xpm"
#include "tlgreen.xpm"
#include "tlred.xpm"
#include "tlyellow.xpm"
#include "trafficlight.xpm"
#include "widgets/led.h"

namespace {

QImage xpmImage(const char* const* xpm) { return QImage(xpm).convertToFormat(QImage::Format_ARGB32); }

QImage shownImage(const QLabel& label) {
  return label.pixmap(Qt::ReturnByValue).toImage().convertToFormat(QImage::Format_ARGB32);
}

qint64 imageKey(const QLabel& label) { return label.pixmap(Qt::ReturnByValue).cacheKey(); }

const std::pair<int, const char* const*> kLamps[] = {
    {TrafficLight::GreenLit, tlgreen_xpm}, {TrafficLight::YellowLit, tlyellow_xpm}, {TrafficLight::RedLit, tlred_xpm}};

// The middle of the pixels an overlay lights.
QPoint lampCentre(const char* const* overlay) {
  const QImage image = xpmImage(overlay);
  QRect box;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x)
      if (qAlpha(image.pixel(x, y)) != 0) box |= QRect(x, y, 1, 1);
  return box.center();
}

// The lit-bits of the lamps the shown image has lit, judged at each lamp's centre by the lamp's
// own colour there.
int litLamps(const TrafficLight& light) {
  const QImage shown = shownImage(light);
  int bits = 0;
  for (const auto& [bit, overlay] : kLamps)
    if (shown.pixel(lampCentre(overlay)) == xpmImage(overlay).pixel(lampCentre(overlay)))
      bits |= bit;
  return bits;
}

}  // namespace

TEST(Led, ShowsItsColourReplacesTheImageOnlyOnChangeAndSlotsChoose) {
  Led led(nullptr);
  EXPECT_EQ(led.size(), QSize(24, 24));
  EXPECT_EQ(shownImage(led), xpmImage(led_grey));
  // Every colour, and one outside the range, which shows dark; the same colour again keeps the
  // image.
  const std::pair<int, const char* const*> colours[] = {
      {Led::Yellow, led_yellow}, {Led::Green, led_green}, {Led::Red, led_red}, {7, led_grey},
      {Led::Off, led_grey}};
  for (const auto& [color, xpm] : colours) {
    const qint64 before = imageKey(led);
    led.setColor(Led::Color(color));
    const qint64 after = imageKey(led);
    led.setColor(Led::Color(color));
    EXPECT_EQ(led.color(), color);
    EXPECT_EQ(shownImage(led), xpmImage(xpm)) << "colour " << color;
    EXPECT_NE(after, before);
    EXPECT_EQ(imageKey(led), after);
  }

  led.setGreenVsRed(false);  // from dark: red, never dark
  EXPECT_EQ(led.color(), Led::Red);
  led.setColor(Led::Yellow);
  led.setGreen(false);  // off whatever the colour
  EXPECT_EQ(led.color(), Led::Off);
  led.setGreenVsRed(true);
  led.setRed(false);
  EXPECT_EQ(led.color(), Led::Off);
  led.setRed(true);
  EXPECT_EQ(led.color(), Led::Red);
}

TEST(TrafficLight, ShowsLitAndBlinkingLampsAndSlotsSetAndClearBits) {
  TrafficLight light(nullptr);
  EXPECT_EQ(light.size(), QSize(24, 55));
  EXPECT_EQ(shownImage(light), xpmImage(trafficlight_xpm));
  for (const auto& [bit, overlay] : kLamps) {
    light.setStatus(bit);
    EXPECT_EQ(litLamps(light), bit);
  }
  // The colour slots set or clear their bits and leave the others alone.
  light.setStatus(TrafficLight::GreenBlinks | TrafficLight::YellowLit);
  light.setRed(true);
  light.setYellow(false);
  light.setGreen(false);  // only its blink bit is set: nothing to clear
  EXPECT_EQ(light.status(), TrafficLight::GreenBlinks | TrafficLight::RedLit);
  light.setColor(TrafficLight::GreenBlinks | TrafficLight::RedLit, false);
  light.setGreen(true);
  EXPECT_EQ(light.status(), TrafficLight::GreenLit);
  const qint64 key = imageKey(light);
  light.setStatus(TrafficLight::GreenLit);
  EXPECT_EQ(imageKey(light), key) << "an unchanged status keeps the image";

  // Blink bits run the timer and ticks toggle the blinking lamps; every start begins lit.
  QMetaObject::invokeMethod(&light, "tick");  // phase false while stopped
  light.setStatus(0x14);
  EXPECT_TRUE(light.blinking() && light.phase());
  EXPECT_EQ(litLamps(light), TrafficLight::RedLit | TrafficLight::GreenLit);
  QMetaObject::invokeMethod(&light, "tick");
  EXPECT_FALSE(light.phase());
  EXPECT_EQ(litLamps(light), TrafficLight::RedLit);
  light.setStatus(0x04);  // stopping resets the phase too
  EXPECT_TRUE(!light.blinking() && light.phase());
  light.setStatus(0x80);  // a blink bit without a lamp
  EXPECT_TRUE(light.blinking());
  QMetaObject::invokeMethod(&light, "tick");
  EXPECT_EQ(litLamps(light), 0);
}

// Widgets need the program's one application object, alive while the tests run.
int main(int argc, char** argv) {
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
