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

bool KRmt::openParts(const QString* paths, bool live) {
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
  // Held part-way where the raw data may be let go of behind the parts (describeParts()): merged
  // beside the recording, straight from the temp files.
  plan.holds = live && _session->files().keep.empty();
  plan.others = recordingFiles();
  std::string report, error;
  if (!plan.hdf5.empty())
    plan.others.push_back({"metadata file", toFileName(metaFileFor(chosen[kHdf5Out]))});
  if (!reportFile(plan.text, plan.binary, plan.hdf5, &report, &error)) {
    checkError(false, "Can't start: " + fromFileName(error) + "\nChoose other output names.");
    return false;
  }
  plan.others.push_back({"run report", report});
  {
    std::lock_guard<std::mutex> hold(_manifestLock);
    _lastManifest = RunManifest();  // nothing of this run is published or held yet
  }
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
  {
    std::lock_guard<std::mutex> hold(_manifestLock);
    _releasing = release;
  }
  PartPublished published;
  if (release) {
    std::vector<std::string> paths;
    _listed.clear();
    for (const RmtDev* dev : _devs) {
      paths.push_back(toFileName(dev->_tmpName));
      _listed.push_back(!dev->_tmpName.isEmpty());
    }
    _resumeLog.reset(new ResumeLog);
    _rawRelease.reset(new RawRelease(paths));
    _keptPoints.assign(size_t(_devs.size()), SourcePoint{});
    // The losses, located on the merge's thread after its last record, start from the last point.
    published = [this](const PartFacts&, const PartResume& after) {
      ResumePoint point;
      return _resumeLog->before(after.records, &point) &&
             point.sources.size() == _keptPoints.size() && rewriteManifest(after, point);
    };
  }
  // Each part's temporary names are written by the window's thread, so that the merge's thread
  // syncs the manifest only where raw data go.
  _parts->describe(header, _session->partInfo(sessionDevices(true)),
                   [this](const std::vector<std::string>&) {
                     QMetaObject::invokeMethod(this, &KRmt::partBegun, Qt::QueuedConnection);
                   },
                   published);
}

void KRmt::partBegun() {
  // A part begun by a merge that has ended since has been published or removed.
  if (_parts == nullptr) return;
  {
    std::lock_guard<std::mutex> hold(_manifestLock);
    if (!_manifest.held()) return;
  }
  QString outputs[kOutputKinds];
  outputsInHand(outputs);
  writeManifest(outputs);
}

bool KRmt::rewriteManifest(const PartResume& after, const ResumePoint& point) {
  std::lock_guard<std::mutex> hold(_manifestLock);
  // Not once the manifest is no longer the window's, nor once the temp files are to be merged
  // again.
  if (!_manifest.held() || !_releasing) return false;
  // Rewritten in place (a long run's parts are not copied with each note), and put back as it
  // was when it cannot be written.
  RunManifest& manifest = _lastManifest;
  std::vector<std::string> partials = _parts->partials();
  manifest.partials.swap(partials);
  const size_t published = manifest.published.is_array() ? manifest.published.size() : 0;
  appendPublished(*_parts, &manifest.published);
  ResumePoint listed;  // of the devices with a temp file, as the recovery merges them
  listed.records = point.records;
  for (size_t i = 0; i < _listed.size(); ++i)
    if (_listed[i]) listed.sources.push_back(point.sources[i]);
  nlohmann::json resume = takeUpJson(after, listed);
  manifest.resume.swap(resume);
  std::string error;
  // One that cannot be written stays as it was, the raw data with it: a recovery goes on from
  // the point before, and nothing recorded is lost.
  const std::string dir = _manifest.dir();
  if (!_manifest.write(dir, manifest, &error)) {
    manifest.partials.swap(partials);
    manifest.published.erase(manifest.published.begin() + std::ptrdiff_t(published),
                             manifest.published.end());
    manifest.resume.swap(resume);
    return false;
  }
  std::copy(point.sources.begin(), point.sources.end(), _keptPoints.begin());
  _rawRelease->release(point);
  return true;
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
