// Led and TrafficLight: what the image shows for each state, and the blinking lamps.
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

const std::pair<int, const char* const*> kLamps[] = {
    {TrafficLight::GreenLit, tlgreen_xpm},
    {TrafficLight::YellowLit, tlyellow_xpm},
    {TrafficLight::RedLit, tlred_xpm}};

// The lit-bits of the lamps the shown image has lit, judged at the middle of each lamp's overlay
// by the lamp's own colour there.
int litLamps(const TrafficLight& light) {
  const QImage shown = shownImage(light);
  int bits = 0;
  for (const auto& [bit, overlay] : kLamps) {
    const QImage image = xpmImage(overlay);
    QRect box;
    for (int y = 0; y < image.height(); ++y)
      for (int x = 0; x < image.width(); ++x)
        if (qAlpha(image.pixel(x, y)) != 0) box |= QRect(x, y, 1, 1);
    if (shown.pixel(box.center()) == image.pixel(box.center())) bits |= bit;
  }
  return bits;
}

}  // namespace

TEST(Led, ShowsItsColourAndDarkOutsideTheRange) {
  Led led(nullptr);
  EXPECT_EQ(led.size(), QSize(24, 24));
  EXPECT_EQ(shownImage(led), xpmImage(led_grey));
  const std::pair<int, const char* const*> colours[] = {
      {Led::Yellow, led_yellow}, {Led::Green, led_green}, {Led::Red, led_red}, {7, led_grey},
      {Led::Off, led_grey}};
  for (const auto& [color, xpm] : colours) {
    led.setColor(Led::Color(color));
    EXPECT_EQ(shownImage(led), xpmImage(xpm)) << "colour " << color;
  }
}

TEST(TrafficLight, ShowsLitAndBlinkingLamps) {
  TrafficLight light(nullptr);
  EXPECT_EQ(light.size(), QSize(24, 55));
  EXPECT_EQ(shownImage(light), xpmImage(trafficlight_xpm));
  for (const auto& [bit, overlay] : kLamps) {
    light.setStatus(bit);
    EXPECT_EQ(litLamps(light), bit);
  }
  // Blink bits run the timer and ticks toggle the blinking lamps; every start begins lit.
  light.setStatus(0x14);
  EXPECT_TRUE(light.blinking() && light.phase());
  EXPECT_EQ(litLamps(light), TrafficLight::RedLit | TrafficLight::GreenLit);
  QMetaObject::invokeMethod(&light, "tick");
  EXPECT_EQ(litLamps(light), TrafficLight::RedLit);
  light.setStatus(0x04);  // stopping resets the phase too
  EXPECT_TRUE(!light.blinking() && light.phase());
}

// Widgets need the program's one application object, alive while the tests run.
int main(int argc, char** argv) {
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
