// The window's HDF5 output: a recording with markers merged into an HDF5 file with the metadata of
// the ravik-meta.json beside it, compressed as the settings' hdf5Compress chooses. (Its row and
// remembered path: test_krmt; its datasets as the other faces write them: test_faces; the columns
// against the binary records: test_hdf5output.)
#include <hdf5.h>

#include <fstream>

#include "hdf5_filters.h"
#include "window_harness.h"

namespace {

// The note says where the metadata came from, the state line the state alone. No setting writes
// the columns uncompressed; a word that cannot be used is said, and Ok writes them uncompressed.
TEST_F(WindowTest, AHdf5OutputHoldsTheUsersMetadataAndTheSettingsChooseItsCompression) {
  QDir(_dir.path()).mkpath("out");
  ASSERT_TRUE(std::ofstream(path("out/ravik-meta.json").toStdString())
              << R"({"identity": {"author": "A. Physicist"}})");
  const struct {
    const char* word;  // null: no setting
    std::vector<H5Z_filter_t> filters;
    const char* box;
  } cases[] = {{nullptr, {}, ""}, {"fast", {32008}, ""}, {"zip", {}, "hdf5Compress is 'zip'"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.word != nullptr ? c.word : "no setting");
    if (c.word != nullptr) QSettings(KRmt::vendorName, KRmt::programName).setValue("hdf5Compress", c.word);
    KRmtProbe p = openRecordingWindow();
    QFile::remove(path("out/run.h5"));
    p.hdf5Path()->setText(path("out/run.h5"));
    p.hdf5Enable()->setChecked(true);
    for (RmtDev* dev : KRmt::_devs)
      for (QCheckBox* marker : dev->_marker) marker->setChecked(true);
    record();
    p.stopBtn()->click();
    EXPECT_EQ(p.stateText()->text(), "Saving");
    EXPECT_TRUE(p.noteText()->text().contains("HDF5 metadata from " + path("out/ravik-meta.json")))
        << p.noteText()->text().toStdString();
    ASSERT_TRUE(QTest::qWaitFor([&] { return _window->state() == KRmt::Idle; }, kWaitMs));
    EXPECT_TRUE(_boxes.texts.join("\n").contains(c.box)) << _boxes.texts.join("\n").toStdString();
    EXPECT_EQ(_boxes.texts.isEmpty(), *c.box == 0);
    _boxes.texts.clear();
    const hid_t file = H5Fopen(path("out/run.h5").toLocal8Bit().constData(), H5F_ACC_RDONLY,
                               H5P_DEFAULT);
    ASSERT_GE(file, 0);
    EXPECT_EQ(filtersOf(file, "/photon_data/timestamps"), c.filters);
    EXPECT_GT(datasetSize(file, "/photon_data/timestamps"), 1000);
    EXPECT_EQ(datasetSize(file, "/identity/author"), 1);
    H5Fclose(file);
    closeWindow();
  }
}

}  // namespace
