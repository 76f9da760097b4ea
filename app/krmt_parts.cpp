// The window's outputs in parts: with the settings' "splitSize" or "splitTime", each output ticked
// becomes "run-0001.bin", "run-0002.bin", ..., every part published while the recording goes
// on, as ravik-record --split-size / --split-time writes them.
#include <QDir>
#include <QSettings>

#include "app/krmt.h"
#include "chain/freespace.h"
#include "chain/session.h"
#include "device/rmtdev.h"
#include "device/rmtpath.h"
#include "merge/mergethread.h"
#include "report/metafile.h"

bool KRmt::splitSetting(SplitRule* rule) {
  *rule = SplitRule();
  const QString size = _settings->value("splitSize").toString();
  const QString seconds = _settings->value("splitTime").toString();
  SplitRule asked;
  QString why;
  if (!size.isEmpty() && !(parseSize(size.toStdString(), &asked.size) && asked.size > 0))
    why = "The settings' splitSize is '" + size + "': a size above 0 such as 500M or 2G.";
  bool number = true;
  const double s = seconds.toDouble(&number);
  if (!seconds.isEmpty() && !(number && splitTimePs(s, &asked.timePs)))
    why = "The settings' splitTime is '" + seconds + "': a number of seconds above 0.";
  if (why.isEmpty()) {
    *rule = asked;
    return true;
  }
  return checkError(false, "Can't split the outputs as asked; Ok writes them whole\n" + why);
}

bool KRmt::openParts(const QString* paths) {
  const char* const kinds[] = {"text output", "binary output", "HDF5 output"};
  QString chosen[kOutputKinds];
  std::vector<OutputName> taken;  // the outputs chosen before, which no other may name
  bool goOn = true;
  for (int k = 0; k < kOutputKinds && goOn; ++k) {
    if (paths[k].isEmpty()) continue;
    const std::string path = toFileName(paths[k]);
    const std::string clash = outputClash(kinds[k], path, taken);
    if (!clash.empty()) {
      goOn = checkError(false, "Can't open output file\n" + paths[k] + "\n" + fromFileName(clash));
      continue;
    }
    QString note;
    if (k == kHdf5Out && !prepareHdf5(paths[k], &_hdf5Compress, &note, &goOn)) continue;
    if (!note.isEmpty()) addNote(note);
    chosen[k] = paths[k];
    taken.push_back({kinds[k], path});
  }
  if (!goOn) return false;
  if (chosen[kTextOut].isEmpty() && chosen[kBinaryOut].isEmpty() && chosen[kHdf5Out].isEmpty())
    return true;
  PartPlan plan;
  plan.text = toFileName(chosen[kTextOut]);
  plan.binary = toFileName(chosen[kBinaryOut]);
  plan.hdf5 = toFileName(chosen[kHdf5Out]);
  plan.compress = plan.hdf5.empty() ? Hdf5Compression::None : _hdf5Compress;
  plan.rule = _split;
  plan.others = recordingFiles();
  std::string report, error;
  if (!plan.hdf5.empty())
    plan.others.push_back({"metadata file", toFileName(metaFileFor(chosen[kHdf5Out]))});
  if (!reportFile(plan.text, plan.binary, plan.hdf5, &report, &error)) {
    checkError(false, "Can't start: " + fromFileName(error) + "\nChoose other output names.");
    return false;
  }
  plan.others.push_back({"run report", report});
  _parts = _session->beginParts(plan, &error);
  if (_parts == nullptr)
    return checkError(false, "Can't open output file\n" + fromFileName(error));
  for (int k = 0; k < kOutputKinds; ++k) _partPaths[k] = chosen[k];
  return true;
}

void KRmt::describeParts(const std::function<void(FILE*, bool)>& header, bool release) {
  nameOutputs(_partPaths);
  _resumeLog.reset();
  _rawRelease.reset();
  _releasing = release;
  const uint64_t run = ++_releaseRun;
  PartPublished published;
  if (release) {
    std::vector<std::string> paths;
    for (const RmtDev* dev : _devs) paths.push_back(toFileName(dev->_tmpName));
    _resumeLog.reset(new ResumeLog);
    _rawRelease.reset(new RawRelease(paths));
    _keptPoints.assign(size_t(_devs.size()), SourcePoint{});
    // On the thread that writes the parts; the losses, located on the merge's thread after its
    // last record, start from the last point.
    published = [this, run](const PartFacts&, const PartResume& after) {
      ResumePoint point;
      if (!_resumeLog->before(after.records, &point) || point.sources.size() != _keptPoints.size())
        return false;
      std::copy(point.sources.begin(), point.sources.end(), _keptPoints.begin());
      const nlohmann::json parts = partsJson(_parts->published());
      QMetaObject::invokeMethod(
          this, [this, run, point, after, parts] { letGoBehind(run, point, after, parts); },
          Qt::QueuedConnection);
      return true;  // the window holds no part part-way: nothing waits for the manifest
    };
  }
  // Told on the merge's thread; the manifest is the window's, rewritten on its own thread.
  _parts->describe(header, _session->partInfo(sessionDevices(true)),
                   [this](const std::vector<std::string>&) {
                     QMetaObject::invokeMethod(this, &KRmt::partBegun, Qt::QueuedConnection);
                   },
                   published);
}

void KRmt::letGoBehind(uint64_t run, const ResumePoint& point, const PartResume& after,
                       const nlohmann::json& published) {
  // Only for the run whose part it was: one told late must not touch the next run's files.
  if (run != _releaseRun || !_releasing || _parts == nullptr || !_manifest.held()) return;
  // The manifest lists the devices with a temp file, as the recovery merges them.
  ResumePoint listed;
  listed.records = point.records;
  for (int i = 0; i < _devs.size(); ++i)
    if (!_devs[i]->_tmpName.isEmpty()) listed.sources.push_back(point.sources[size_t(i)]);
  _session->takeUpAfter(published, takeUpJson(after, listed));
  QString outputs[kOutputKinds];
  outputsInHand(outputs);
  if (writeManifest(outputs)) _rawRelease->release(point);
}

void KRmt::partBegun() {
  // A part begun by a merge that has ended since has been published or removed.
  if (_parts == nullptr || !_manifest.held()) return;
  QString outputs[kOutputKinds];
  outputsInHand(outputs);
  writeManifest(outputs);
}

void KRmt::concludeParts() {
  std::string error;
  if (!_parts->publishLast(&error)) {
    // The parts published before stay; the message says which are in place.
    discardOutputs();
    keepRecording();
    updateGui(Idle);
    checkError(false, "Merge failed: " + fromFileName(error) + "\nThe temp files are kept.");
    return;
  }
  for (int k = 0; k < kOutputKinds; ++k) _written[k] = toFileName(_partPaths[k]);
  _parts = nullptr;  // published: nothing left to discard
  if (_rawRelease != nullptr && !_rawRelease->error().empty())
    addNote(fromFileName(_rawRelease->error()));
  for (QString& path : _partPaths) path.clear();
  writeRunReport(_written[kTextOut], _written[kBinaryOut]);
  stopMerge();
}
