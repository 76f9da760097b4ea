// The window's HDF5 output: its row under the device table, its remembered path, and a recording
// with markers merged into an HDF5 file with the metadata of ravik-meta.json.
#include <hdf5.h>

#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include <QLabel>

#include "window_harness.h"

namespace {

// The number of values in a data set of the file, or -1 when it has none of that name.
int64_t sizeOf(hid_t file, const char* path) {
  const hid_t set = H5Dopen2(file, path, H5P_DEFAULT);
  if (set < 0) return -1;
  const hid_t space = H5Dget_space(set);
  const int64_t n = H5Sget_simple_extent_npoints(space);
  H5Sclose(space);
  H5Dclose(set);
  return n;
}

QString labelAt(const KRmtProbe& p, int row) {
  auto* label = qobject_cast<QLabel*>(p.cell(row, 0));
  return label ? label->text() : QString("<none>");
}

TEST_F(WindowTest, Hdf5RowRememberedPathAndARecordingWithMarkersInTimeOrderWithTheUsersMetadata) {
  QDir(_dir.path()).mkpath("out");
  ASSERT_TRUE(std::ofstream(path("out/ravik-meta.json").toStdString())
              << R"({"identity": {"author": "A. Physicist"}})");
  KRmtProbe p = openRecordingWindow();
  ASSERT_EQ(KRmt::_devs.size(), 3);
  // The HDF5 row sits under the progress bar, leaving the rows above as they are.
  const std::pair<int, const char*> labels[] = {{2, "Binary Output:"}, {3, "Temp Folder:"},
                                                {10, "HDF5 Output:"}};
  for (const auto& [row, text] : labels) EXPECT_EQ(labelAt(p, row), text);
  const std::tuple<int, int, QWidget*> cells[] = {{10, 1, p.hdf5Enable()}, {10, 2, p.hdf5Path()},
      {10, 3, p.hdf5Btn()}, {0, 5, p.startBtn()}, {2, 5, p.quitBtn()}};
  for (const auto& [row, column, widget] : cells)
    EXPECT_EQ(p.cell(row, column), widget) << row << ", " << column;
  EXPECT_FALSE(p.hdf5Enable()->isChecked());
  EXPECT_EQ(p.hdf5Path()->text(), QDir::toNativeSeparators(path("home") + "/timestamps.h5"));

  p.hdf5Path()->setText(path("out/run.h5"));
  p.binPath()->setText(path("out/run.bin"));
  p.ascEnable()->setChecked(false);
  p.binEnable()->setChecked(true);
  p.hdf5Enable()->setChecked(true);
  for (RmtDev* dev : KRmt::_devs)
    for (QCheckBox* marker : dev->_marker) marker->setChecked(true);
  p.startBtn()->click();
  ASSERT_EQ(_window->state(), KRmt::Recording);
  QTest::qWait(600);
  p.stopBtn()->click();
  EXPECT_EQ(_window->state(), KRmt::Saving);
  // The state line shows the state alone; where the metadata came from is a note.
  EXPECT_EQ(p.stateText()->text(), "Saving");
  EXPECT_TRUE(p.noteText()->text().contains("HDF5 metadata from " + path("out/ravik-meta.json")))
      << p.noteText()->text().toStdString();
  ASSERT_TRUE(QTest::qWaitFor([&] { return _window->state() == KRmt::Idle; }, kWaitMs));
  EXPECT_TRUE(_boxes.texts.isEmpty()) << _boxes.texts.join("\n").toStdString();
  // The path is remembered.
  p.quitBtn()->click();
  openWindow(false);
  EXPECT_EQ(probe().hdf5Path()->text(), path("out/run.h5"));

  const hid_t file = H5Fopen(path("out/run.h5").toLocal8Bit().constData(), H5F_ACC_RDONLY, H5P_DEFAULT);
  ASSERT_GE(file, 0);
  // As many records as the binary output, and the user's metadata. (The columns against the
  // binary records, in time order with the markers: test_hdf5output.)
  const qint64 binaryRecords = (QFileInfo(path("out/run.bin")).size() - 2 * 64) / 10;
  EXPECT_GT(binaryRecords, 1000);
  EXPECT_EQ(sizeOf(file, "/photon_data/timestamps"), binaryRecords);
  EXPECT_EQ(sizeOf(file, "/identity/author"), 1);
  H5Fclose(file);
}

}  // namespace
