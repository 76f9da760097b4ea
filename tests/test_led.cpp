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

// The lit-bits of the lamps the shown image has lit, judged at each lamp's centre.
int litLamps(const TrafficLight& light) {
  const QImage shown = shownImage(light);
  const QImage dark = xpmImage(trafficlight_xpm);
  int bits = 0;
  for (const auto& [bit, overlay] : kLamps)
    if (shown.pixel(lampCentre(overlay)) != dark.pixel(lampCentre(overlay))) bits |= bit;
  return bits;
}

}  // namespace

TEST(Led, ShowsItsColourReplacesTheImageOnlyOnChangeAndSlotsChoose) {
  Led led(nullptr);
  EXPECT_EQ(led.size(), QSize(24, 24));
  EXPECT_EQ(shownImage(led), xpmImage(led_grey));
  const std::pair<Led::Color, const char* const*> colours[] = {
      {Led::Yellow, led_yellow}, {Led::Green, led_green}, {Led::Red, led_red}, {Led::Off, led_grey}};
  for (const auto& [color, xpm] : colours) {
    const qint64 before = imageKey(led);
    led.setColor(color);
    const qint64 after = imageKey(led);
    led.setColor(color);
    EXPECT_EQ(shownImage(led), xpmImage(xpm)) << "colour " << color;
    EXPECT_NE(after, before);
    EXPECT_EQ(imageKey(led), after);
  }
  led.setColor(Led::Yellow);
  led.setColor(static_cast<Led::Color>(7));
  EXPECT_EQ(led.color(), 7);
  EXPECT_EQ(shownImage(led), xpmImage(led_grey));

  led.setColor(Led::Off);
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

TEST(TrafficLight, ShowsEachLitLampAndColourSlotsSetAndClearBits) {
  TrafficLight light(nullptr);
  EXPECT_FALSE(light.blinking());
  EXPECT_EQ(light.size(), QSize(24, 55));
  EXPECT_EQ(shownImage(light), xpmImage(trafficlight_xpm));
  for (const auto& [bit, overlay] : kLamps) {
    light.setStatus(bit);
    EXPECT_EQ(litLamps(light), bit);
    EXPECT_EQ(shownImage(light).pixel(lampCentre(overlay)), xpmImage(overlay).pixel(lampCentre(overlay)));
  }

  light.setStatus(TrafficLight::GreenBlinks);
  light.setGreen(true);
  EXPECT_EQ(light.status(), 0x11);
  EXPECT_TRUE(light.blinking());
  light.setColor(0x24, true);
  light.setYellow(false);  // not lit, so nothing to clear
  EXPECT_EQ(light.status(), 0x35);
  light.setRed(false);
  light.setColor(0x30, false);
  EXPECT_EQ(light.status(), 0x01);
  EXPECT_FALSE(light.blinking());
  EXPECT_EQ(litLamps(light), TrafficLight::GreenLit);
  const qint64 key = imageKey(light);
  light.setGreen(true);
  light.setStatus(TrafficLight::GreenLit);
  EXPECT_EQ(imageKey(light), key);
}

TEST(TrafficLight, BlinkBitsRunTheTimerAndTicksToggleTheLamps) {
  TrafficLight light(nullptr);
  QMetaObject::invokeMethod(&light, "tick");  // phase false while stopped: a start must reset it
  light.setStatus(0x14);
  EXPECT_TRUE(light.blinking());
  EXPECT_TRUE(light.phase());
  EXPECT_EQ(litLamps(light), TrafficLight::RedLit | TrafficLight::GreenLit);
  const qint64 key = imageKey(light);
  QMetaObject::invokeMethod(&light, "tick");
  EXPECT_FALSE(light.phase());
  EXPECT_NE(imageKey(light), key);
  EXPECT_EQ(litLamps(light), TrafficLight::RedLit);

  light.setStatus(0x04);  // stopping resets the phase too
  EXPECT_FALSE(light.blinking());
  EXPECT_TRUE(light.phase());

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
