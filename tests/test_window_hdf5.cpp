// The window's HDF5 output: a recording with markers merged into an HDF5 file with the metadata of
// the ravik-meta.json beside it. (Its row and remembered path: test_krmt; its datasets as the other
// faces write them: test_faces; the columns against the binary records: test_hdf5output.)
#include <hdf5.h>

#include <fstream>

#include "hdf5_filters.h"
#include "window_harness.h"

namespace {

TEST_F(WindowTest, AHdf5OutputWithMarkersHoldsTheUsersMetadataAndSaysWhence) {
  QDir(_dir.path()).mkpath("out");
  ASSERT_TRUE(std::ofstream(path("out/ravik-meta.json").toStdString())
              << R"({"identity": {"author": "A. Physicist"}})");
  KRmtProbe p = openRecordingWindow();
  p.hdf5Path()->setText(path("out/run.h5"));
  p.hdf5Enable()->setChecked(true);
  for (RmtDev* dev : KRmt::_devs)
    for (QCheckBox* marker : dev->_marker) marker->setChecked(true);
  record();
  p.stopBtn()->click();
  // The state line shows the state alone; where the metadata came from is a note.
  EXPECT_EQ(p.stateText()->text(), "Saving");
  EXPECT_TRUE(p.noteText()->text().contains("HDF5 metadata from " + path("out/ravik-meta.json")))
      << p.noteText()->text().toStdString();
  ASSERT_TRUE(QTest::qWaitFor([&] { return _window->state() == KRmt::Idle; }, kWaitMs));
  EXPECT_TRUE(_boxes.texts.isEmpty()) << _boxes.texts.join("\n").toStdString();

  const hid_t file = H5Fopen(path("out/run.h5").toLocal8Bit().constData(), H5F_ACC_RDONLY, H5P_DEFAULT);
  ASSERT_GE(file, 0);
  EXPECT_GT(datasetSize(file, "/photon_data/timestamps"), 1000);
  EXPECT_EQ(datasetSize(file, "/identity/author"), 1);
  H5Fclose(file);
}

// The settings' hdf5Compress chooses the columns' filters; a word that cannot be used is said,
// and Ok writes the file uncompressed.
TEST_F(WindowTest, TheSettingsChooseTheHdf5Compression) {
  const struct {
    const char* word;
    std::vector<H5Z_filter_t> filters;
    const char* box;
  } cases[] = {{"fast", {32008}, ""}, {"zip", {}, "hdf5Compress is 'zip'"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.word);
    QSettings(KRmt::vendorName, KRmt::programName).setValue("hdf5Compress", c.word);
    KRmtProbe p = openRecordingWindow();
    QDir(_dir.path()).mkpath("out");
    QFile::remove(path("out/run.h5"));
    p.hdf5Path()->setText(path("out/run.h5"));
    p.hdf5Enable()->setChecked(true);
    record();
    p.stopBtn()->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return _window->state() == KRmt::Idle; }, kWaitMs));
    EXPECT_TRUE(_boxes.texts.join("\n").contains(c.box)) << _boxes.texts.join("\n").toStdString();
    EXPECT_EQ(_boxes.texts.isEmpty(), *c.box == 0);
    _boxes.texts.clear();

    const hid_t file = H5Fopen(path("out/run.h5").toLocal8Bit().constData(), H5F_ACC_RDONLY,
                               H5P_DEFAULT);
    ASSERT_GE(file, 0);
    EXPECT_EQ(filtersOf(file, "/photon_data/timestamps"), c.filters);
    EXPECT_GT(datasetSize(file, "/photon_data/timestamps"), 0);
    H5Fclose(file);
    closeWindow();
  }
}

}  // namespace
