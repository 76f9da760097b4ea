// The window's HDF5 output: its row under the device table, its remembered path, and a recording
// with markers merged into an HDF5 file in time order, with the metadata of ravik-meta.json.
#include <hdf5.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <QLabel>

#include "window_harness.h"

namespace {

template <typename T>
std::vector<T> readColumn(hid_t file, const char* path, hid_t type) {
  std::vector<T> values;
  const hid_t set = H5Dopen2(file, path, H5P_DEFAULT);
  if (set < 0) return values;
  const hid_t space = H5Dget_space(set);
  values.resize(size_t(H5Sget_simple_extent_npoints(space)));
  if (!values.empty()) {
    EXPECT_GE(H5Dread(set, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()), 0);
  }
  H5Sclose(space);
  H5Dclose(set);
  return values;
}

QString labelAt(const KRmtProbe& p, int row) {
  auto* label = qobject_cast<QLabel*>(p.cell(row, 0));
  return label ? label->text() : QString("<none>");
}

TEST_F(WindowTest, Hdf5RowRememberedPathAndARecordingWithMarkersInTimeOrderWithTheUsersMetadata) {
  setSim("RATES", "3000");
  QDir(_dir.path()).mkpath("work");
  QDir(_dir.path()).mkpath("out");
  ASSERT_TRUE(std::ofstream(path("out/ravik-meta.json").toStdString())
              << R"({"identity": {"author": "A. Physicist"}})");
  openWindow();
  KRmtProbe p = probe();
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

  p.tmpPath()->setText(path("work"));
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
  const auto times = readColumn<int64_t>(file, "/photon_data/timestamps", H5T_NATIVE_INT64);
  const auto channels = readColumn<int16_t>(file, "/photon_data/detectors", H5T_NATIVE_INT16);
  const auto markers = readColumn<int16_t>(
      file, "/photon_data/measurement_specs/detectors_specs/non_photon_id1", H5T_NATIVE_INT16);
  const auto sorted = readColumn<int64_t>(file, "/user/ravik/sorted", H5T_NATIVE_INT64);
  const auto kept = readColumn<int32_t>(file, "/user/ravik/sources/kept", H5T_NATIVE_INT32);
  const hid_t author = H5Dopen2(file, "/identity/author", H5P_DEFAULT);
  EXPECT_GE(author, 0);
  if (author >= 0) H5Dclose(author);
  // The recording's start, as every face's HDF5 output gives it.
  const hid_t started = H5Dopen2(file, "/provenance/creation_time", H5P_DEFAULT);
  EXPECT_GE(started, 0);
  if (started >= 0) H5Dclose(started);
  H5Fclose(file);
  // As many records as the binary output, with markers, in time order.
  const qint64 binaryRecords = (QFileInfo(path("out/run.bin")).size() - 2 * 64) / 10;
  EXPECT_EQ(qint64(times.size()), binaryRecords);
  EXPECT_GT(times.size(), 1000u);
  EXPECT_TRUE(std::is_sorted(times.begin(), times.end()));
  EXPECT_EQ(sorted, std::vector<int64_t>{1});
  EXPECT_TRUE(std::any_of(channels.begin(), channels.end(), [](int16_t c) { return c >= 100; }));
  EXPECT_FALSE(markers.empty());
  EXPECT_EQ(kept, (std::vector<int32_t>{0, 0, 0}));  // the temp files are gone
}

}  // namespace
