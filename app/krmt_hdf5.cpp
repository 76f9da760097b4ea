// The window's HDF5 output: the same file as ravik-record's, fed by the merge thread through
// MergeThread::_records, with the metadata of ravik-meta.json beside it when there is one.
#include <time.h>

#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QSettings>

#include "app/krmt.h"
#include "chain/session.h"
#include "merge/hdf5file.h"
#include "device/rmtdev.h"
#include "device/rmtpath.h"
#include "merge/mergethread.h"
#include "report/metafile.h"

namespace {

// The user's description of the experiment, from the file `name` (see KRmt::metaFileFor()). *note
// says where it came from; an empty *note: there is none.
bool readMeta(const QString& name, std::vector<Hdf5MetaField>* meta, QString* note,
              QString* error) {
  meta->clear();
  note->clear();
  if (!QFileInfo::exists(name)) return true;
  std::string why;
  if (!loadMetaFile(toFileName(name), meta, &why)) {
    *note = QString("%1 not used").arg(kMetaFileName);
    *error = "The HDF5 output's metadata cannot be used:\n" + fromFileName(why) +
             "\nThe HDF5 file is written without it.";
    return false;
  }
  *note = "HDF5 metadata from " + name;
  return true;
}

}  // namespace

QString KRmt::metaFileFor(const QString& output) {
  return QFileInfo(output).dir().filePath(kMetaFileName);
}

bool KRmt::prepareHdf5(const QString& hdf5Path, Hdf5Compression* compression, QString* note,
                       bool* goOn) {
  QString error;
  if (!readMeta(metaFileFor(hdf5Path), &_hdf5Meta, note, &error) && !checkError(false, error)) {
    *goOn = false;
    return false;
  }
  const std::string clash = outputClash("HDF5 output", toFileName(hdf5Path));
  if (!clash.empty()) {
    *goOn = checkError(false, "Can't open output file\n" + hdf5Path + "\n" + fromFileName(clash));
    return false;
  }
  if (!hdf5CompressionSetting(compression)) {
    *goOn = false;
    return false;
  }
  return true;
}

void KRmt::openHdf5(const QString& hdf5Path, bool* goOn) {
  if (hdf5Path.isEmpty()) return;
  QString note;
  Hdf5Compression compression;
  if (!prepareHdf5(hdf5Path, &compression, &note, goOn)) return;
  _hdf5File.reset(new Hdf5File);
  std::string why;
  if (_hdf5File->create(toFileName(hdf5Path), compression, &why)) {
    _hdf5 = _hdf5File->output();
    _hdf5Compress = compression;
    if (!note.isEmpty()) addNote(note);
    return;
  }
  _hdf5File.reset();
  *goOn = checkError(false, "Can't open output file\n" + fromFileName(why));
}

bool KRmt::hdf5CompressionSetting(Hdf5Compression* compression) {
  *compression = Hdf5Compression::None;
  const QString word = _settings->value("hdf5Compress").toString();
  if (word.isEmpty()) return true;
  Hdf5Compression chosen = Hdf5Compression::None;
  std::string why;
  if (!compressionFromWord(word.toStdString(), &chosen))
    why = "The settings' hdf5Compress is '" + word.toStdString() + "': fast, deflate or none.";
  else if (hdf5CanCompress(chosen, &why))
    *compression = chosen;
  return why.empty() ||
         checkError(false, "Can't compress the HDF5 output as asked; Ok writes it uncompressed\n" +
                               fromFileName(why));
}

QString KRmt::finishHdf5() {
  if (!_hdf5File) return QString();
  // The report in the file names every output the run writes, as chosen at Stop.
  nameOutputs(_stopChoice);
  const Hdf5RunInfo info = _session->hdf5Info(sessionDevices(true), mergeResult());
  std::string error;
  // Completed under its temporary name; published with the other outputs (finishOutputs()).
  if (!_hdf5File->complete(info, &error)) return fromFileName(error);
  const int64_t late = _hdf5File->written().outOfOrder();
  if (late > 0)
    checkError(false, QString("%1 timestamps of the HDF5 output are out of time order; "
                              "/user/ravik/sorted is 0.").arg(late));
  return QString();
}

void KRmt::discardHdf5() {
  // Removes the temporary file of an output not published; a published one is left in place.
  if (_hdf5File) _hdf5File->discard();
  _hdf5File.reset();
  _hdf5 = nullptr;
}
