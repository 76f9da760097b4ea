// The background shared by the main window and the device dialogs: a diagonal gradient from
// #505070 to #B0B0D0 over a 1000 x 700 area, as the Window brush of every colour group.
#ifndef RAVIK_WIDGETS_BACKGROUND_H
#define RAVIK_WIDGETS_BACKGROUND_H

#include <QLinearGradient>
#include <QPalette>
#include <QWidget>

inline void setGradientBackground(QWidget* widget) {
  QLinearGradient gradient(0, 0, 1000, 700);
  gradient.setColorAt(0, QColor("#505070"));
  gradient.setColorAt(1, QColor("#B0B0D0"));
  QPalette pal = widget->palette();
  pal.setBrush(QPalette::All, QPalette::Window, QBrush(gradient));
  widget->setPalette(pal);
}

#endif
