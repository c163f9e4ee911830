#include "engine/conversion_job.h"

#include <sys/stat.h>

#include <array>
#include <chrono>
#include <new>

#include "base/file_io.h"
#include "base/path_util.h"
#include "engine/animation_steps.h"
#include "engine/exif_step.h"
#include "engine/extensions.h"
#include "engine/mask_language.h"
#include "engine/output_formats.h"
#include "engine/output_naming.h"
#include "engine/recipe.h"
#include "engine/resize_planning.h"
#include "engine/target_encoding.h"
#include "engine/text_stamp.h"
#include "imaging/colour_profile.h"

namespace zelvan {
namespace {

MaskDateConventions DatesOf(const JobEnvironment& env) {
    return env.maskDates ? *env.maskDates : MaskDateConventions::System();
}

// A file's size in bytes, past 2 GiB too; -1 when it cannot be examined.
std::int64_t BytesOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return static_cast<std::int64_t>(st.st_size);
}

}  // namespace

std::string_view JobErrorCode(JobError error) {
    static constexpr std::array<std::string_view, 7> kCodes{"AFO:", "RFO:", "RE1:", "RE2:", "AFE:", "FSE:", ""};
    return kCodes[static_cast<std::size_t>(error)];
}

std::string ErrorLine(JobError error, const std::string& path, const std::string& message) {
    return std::string(JobErrorCode(error)) + path + ": " + message;
}

ConversionJob::ConversionJob(const JobEnvironment& environment) : env_(environment), options_(*env_.options) {}

JobOutput& ConversionJob::AddOutput(const OutputFormat* format, std::string destinationPath) {
    JobOutput& output = outputs.emplace_back();
    output.format = format;
    output.destinationPath = std::move(destinationPath);
    return output;
}

void ConversionJob::Report(OutputWork& work, JobError error, const std::string& path, const std::string& message) {
    JobResult& result = work.output.result;
    if (!result.error) {
        result.error = error;
        result.errorMessage = message;
    }
    work.reported = true;
    env_.errors->AppendLine(ErrorLine(error, path, message));
}

void ConversionJob::Note(OutputWork& work, const std::string& path, const std::string& message) {
    work.output.result.note = message;
    env_.errors->AppendLine(path + ": " + message);
}

// The source failed: one line, and every output still pending fails with it.
void ConversionJob::ReportSource(JobError error, const std::string& path, const std::string& message) {
    bool lineWritten = false;
    for (OutputWork& work : *work_) {
        if (work.done) continue;
        work.done = true;
        if (!lineWritten) {
            Report(work, error, path, message);
            lineWritten = true;
            continue;
        }
        JobResult& result = work.output.result;
        if (!result.error) {
            result.error = error;
            result.errorMessage = message;
        }
        work.reported = true;
    }
}

void ConversionJob::Execute() {
    const auto started = std::chrono::steady_clock::now();
    const std::int64_t inputBytes = BytesOf(sourcePath);
    std::vector<OutputWork> work;
    work.reserve(outputs.size());
    for (JobOutput& output : outputs) {
        output.result.inputBytes = inputBytes;
        work.push_back({output, output.options ? *output.options : options_});
    }
    work_ = &work;
    try {
        if (skipExisting && existingOutput) {
            // Names are made under the job lock, as the rename step makes them.
            std::lock_guard<std::mutex> lock(*env_.jobLock);
            for (OutputWork& w : work) {
                if (std::optional<std::string> existing = existingOutput(*this, w.output)) {
                    w.output.result.status = JobResult::Status::Skipped;
                    w.output.result.outputPath = *existing;
                    w.done = true;
                }
            }
        }
        if (!refusal.empty()) ReportSource(JobError::Source, sourcePath, refusal);
        else ConvertSource(work);
    } catch (...) {
        // A failure no step reports (out of memory in an unexpected place) ends the job; it
        // still counts as processed below.
    }
    work_ = nullptr;
    const auto milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
    bool reported = false;
    for (OutputWork& w : work) {
        FinishResult(w);
        w.output.result.milliseconds = milliseconds;
        reported = reported || w.reported;
    }
    if (reported) env_.run->failed.fetch_add(1);
    env_.run->processed.fetch_add(1);
}

// An output's status and path once the steps are over; a skip found before them is kept.
void ConversionJob::FinishResult(OutputWork& work) {
    JobResult& result = work.output.result;
    const std::string& destinationPath = work.output.destinationPath;
    if (result.status == JobResult::Status::Skipped) return;
    if (work.reported) {
        result.status = JobResult::Status::Failed;
    } else if (work.foundTaken) {
        result.status = JobResult::Status::Skipped;
        // The automatic format's name got its extension only at the write.
        for (const std::string& path : {destinationPath, ChangeFileExt(destinationPath, OutputExtension(work.options, "JPG")),
                                        ChangeFileExt(destinationPath, OutputExtension(work.options, "PNG"))}) {
            if (FileExists(path)) {
                result.outputPath = path;
                break;
            }
        }
        return;
    }
    if (!work.wentToTheEnd) return;
    result.outputBytes = BytesOf(destinationPath);
    if (result.outputBytes >= 0) result.outputPath = destinationPath;
}

// The source is decoded, prepared and turned once; each output then starts from those pixels.
void ConversionJob::ConvertSource(std::vector<OutputWork>& work) {
    std::vector<OutputWork*> pending;
    for (OutputWork& w : work)
        if (!w.done && OutputMayBeWritten(w)) pending.push_back(&w);
    if (pending.empty()) return;
    std::optional<LoadedSource> loaded = Load(*pending.front());
    if (!loaded) return;
    const bool sourceProfile = !loaded->picture.iccProfile.empty();
    std::optional<WorkingImageSet> images = Prepare(std::move(*loaded));
    if (!images) return;
    const int decodedWidth = images->image.width(), decodedHeight = images->image.height();
    if (options_.autoRotate && !Orient(*images)) return;
    for (std::size_t i = 0; i < pending.size(); ++i) {
        OutputWork& w = *pending[i];
        try {
            // The last output takes the pixels themselves; the others a copy.
            WorkingImageSet own = i + 1 == pending.size() ? std::move(*images) : *images;
            const bool asDecoded =
                !pixelsTurned_ && own.image.width() == decodedWidth && own.image.height() == decodedHeight;
            w.wentToTheEnd = ProduceOutput(w, std::move(own), asDecoded, sourceProfile);
        } catch (const std::bad_alloc&) {
            Report(w, JobError::Source, sourcePath, "not enough memory for the image");
        } catch (...) {
            // As in Execute: the output ends; the others still get their turn.
        }
        w.done = true;
    }
}

// An existing output blocks it unless overwriting is allowed. The test uses the path as the
// scheduler built it, before any renaming or change of extension.
bool ConversionJob::OutputMayBeWritten(OutputWork& work) {
    // A resumed run tests the final path instead (Execute and the write).
    if (work.options.overwrite || skipExisting || !FileExists(work.output.destinationPath)) return true;
    Report(work, JobError::Source, sourcePath, "File already exists");
    work.done = true;
    return false;
}

// Pictures decode side by side: every reader keeps its state in objects of its own job (libjpeg,
// libpng, giflib, libtiff with per-file handlers, OpenJPEG, Little CMS with its own context and a
// locked transform cache). The RAW plug-in does not: it hands its bitmap back through one buffer
// of its own (FreeMemory takes no handle), so RAW sources load one at a time, under the job lock.
// Sizes are counted in whole KiB; -1 (not measurable) counts 0.
std::optional<LoadedSource> ConversionJob::Load(OutputWork& first) {
    std::optional<LoadedSource> loaded;
    try {
        std::unique_lock<std::mutex> lock(*env_.jobLock, std::defer_lock);
        if (IsRawExtension(ExtractFileExt(sourcePath))) lock.lock();
        // Reduced only as far as the output wanting the most pixels allows.
        std::vector<const ConversionOptions*> wanting;
        for (const OutputWork& w : *work_)
            if (!w.done) wanting.push_back(&w.options);
        loaded = LoadSource(sourcePath, env_.rawPluginPath, SmallestDecodeReduction(wanting));
    } catch (const LoadFailure& failure) {
        switch (failure.kind()) {
            case LoadFailure::Kind::Picture: ReportSource(JobError::Source, sourcePath, failure.what()); break;
            case LoadFailure::Kind::RawPlugin: ReportSource(JobError::RawPlugin, sourcePath, failure.what()); break;
            case LoadFailure::Kind::RawLibraryMissing:
                ReportSource(JobError::Write, first.output.destinationPath, failure.what());
                break;
        }
        return std::nullopt;
    }
    env_.run->inputKiB.fetch_add(loaded->sourceSize / 1024);
    return loaded;
}

// The working image and its transparency; a prepared source counts in the lifetime totals.
std::optional<WorkingImageSet> ConversionJob::Prepare(LoadedSource&& loaded) {
    const std::int64_t sourceKiB = loaded.sourceSize / 1024;
    std::optional<WorkingImageSet> images;
    try {
        images = PrepareWorkingImage(std::move(loaded.picture),
                                     static_cast<ColourProfileChoice>(options_.colourProfile));
    } catch (const Error& e) {
        ReportSource(JobError::Source, sourcePath, e.what());
        return std::nullopt;
    } catch (const std::bad_alloc&) {
        ReportSource(JobError::Source, sourcePath, "not enough memory for the image");
        return std::nullopt;
    }
    env_.lifetime->processedFiles.fetch_add(1);
    env_.lifetime->processedKiB.fetch_add(sourceKiB);
    return images;
}

// The picture as shown, before anything measures it: the fit box, the smart crop, [W] and [H]
// and the text stamp all see the turned image. Outside the job lock.
bool ConversionJob::Orient(WorkingImageSet& images) {
    const bool turning = images.orientation != 1;
    try {
        ForEachFrame(images, OrientWorkingImage);
    } catch (const Error& e) {
        ReportSource(JobError::Source, sourcePath, e.what());
        return false;
    } catch (const std::bad_alloc&) {
        ReportSource(JobError::Source, sourcePath, "not enough memory to turn the image");
        return false;
    }
    pixelsTurned_ = turning;
    return true;
}

// One output from the prepared source: its resize, colours, stamp, name and encoding.
bool ConversionJob::ProduceOutput(OutputWork& work, WorkingImageSet images, bool pixelsAsDecoded,
                                  bool sourceProfile) {
    const ConversionOptions& options = work.options;
    // An output of one picture gets the first frame, and says so; the others are not worked on.
    const std::optional<std::string> firstFrameOnly =
        KeepFirstFrameOnly(images, options.autoFormat ? nullptr : work.output.format);
    const int width = images.image.width(), height = images.image.height();
    if (!Resize(work, images)) return false;
    if (options.colourProfile == kConvertToSrgb && !ConvertColoursToSrgb(work, images)) return false;
    if (options.textStampEnabled) StampText(work, images);
    if (options.renameEnabled) Rename(work, images);
    work.output.result.outputWidth = images.image.width();
    work.output.result.outputHeight = images.image.height();
    work.sourcePixelsKept = pixelsAsDecoded && !options.textStampEnabled && images.image.width() == width &&
                            images.image.height() == height &&
                            !(sourceProfile && options.colourProfile != kKeepColourProfile);
    if (!EncodeAndWrite(work, images)) return false;
    if (firstFrameOnly) Note(work, work.output.destinationPath, *firstFrameOnly);
    CountOutput(work);
    return true;
}

// Outside the job lock. A stretched or percentage resize that fails is reported and the output
// goes on with the images unchanged. A failed proportional fit ends the output; it is reported
// too, so that the run does not count the missing output as converted.
bool ConversionJob::Resize(OutputWork& work, WorkingImageSet& images) {
    const std::string& destinationPath = work.output.destinationPath;
    try {
        ForEachFrame(images, [&](WorkingImageSet& frame) { ResizeWorkingImage(frame, work.options); });
    } catch (const ResizeFailure& failure) {
        switch (failure.kind()) {
            case ResizeFailure::Kind::FixedSize: Report(work, JobError::Resize, destinationPath, failure.what()); break;
            case ResizeFailure::Kind::Percentage: Report(work, JobError::PercentResize, sourcePath, failure.what()); break;
            case ResizeFailure::Kind::Fit: Report(work, JobError::Resize, destinationPath, failure.what()); return false;
        }
    }
    return true;
}

// The pixels turned from the source's profile to sRGB, which the outputs then assume: after the
// resize (fewer pixels to turn) and before the stamp (its colour is meant as sRGB).
bool ConversionJob::ConvertColoursToSrgb(OutputWork& work, WorkingImageSet& images) {
    try {
        ForEachFrame(images, [](WorkingImageSet& frame) { ConvertToSrgb(frame.image, frame.iccProfile); });
    } catch (const std::bad_alloc&) {
        Report(work, JobError::Source, sourcePath, "not enough memory to convert the colours");
        return false;
    }
    images.iccProfile.clear();
    return true;
}

// Its EXIF dates are read and the text drawn under the job lock. A failure here ends the output.
void ConversionJob::StampText(OutputWork& work, WorkingImageSet& images) {
    const ConversionOptions& options = work.options;
    const MaskDateConventions dates = DatesOf(env_);
    MaskSubject subject = MaskSubjectOf(sourcePath, work.output.destinationPath, jobNumber, images.image.width(),
                                        images.image.height(), QDateTime::currentDateTime());
    std::lock_guard<std::mutex> lock(*env_.jobLock);
    ExifDateTexts exif = ReadExifDateTexts(sourcePath, dates.display, subject.now);
    subject.exifDate = exif.date;
    subject.exifTime = exif.time;
    // A palette or grey picture stays one where the chosen output keeps palettes.
    const bool keepPalette = !options.autoFormat && work.output.format && work.output.format->keepsPalette;
    const auto text = ExpandMask(options.textStampMask, subject, MaskKind::TextStamp, dates, options.counterDigits);
    ForEachFrame(images, [&](WorkingImageSet& frame) { DrawTextStamp(frame.image, text, options, keepPalette); });
}

// The output's name from the rename mask.
void ConversionJob::Rename(OutputWork& work, const WorkingImageSet& images) {
    const MaskDateConventions dates = DatesOf(env_);
    std::string& destinationPath = work.output.destinationPath;
    std::lock_guard<std::mutex> lock(*env_.jobLock);
    destinationPath = RenamedDestinationPath(work.options,
                                             MaskSubjectOf(sourcePath, destinationPath, jobNumber, images.image.width(),
                                                           images.image.height(), QDateTime::currentDateTime()),
                                             dates);
}

bool ConversionJob::EncodeAndWrite(OutputWork& work, const WorkingImageSet& images) {
    return work.options.autoFormat ? WriteAutomaticFormat(work, images) : WriteChosenFormat(work, images);
}

// Runs an encoding step; a failure of it ends the output with a line of that kind.
template <typename Step>
bool ConversionJob::Encoding(OutputWork& work, JobError error, Step step) {
    try {
        step();
    } catch (const Error& e) {
        Report(work, error, work.output.destinationPath, e.what());
        return false;
    } catch (const std::bad_alloc&) {
        Report(work, error, work.output.destinationPath, "not enough memory to encode the image");
        return false;
    }
    return true;
}

// The smaller of JPEG and PNG. A failed write of the winner is reported and the output goes on.
bool ConversionJob::WriteAutomaticFormat(OutputWork& work, const WorkingImageSet& images) {
    std::string& destinationPath = work.output.destinationPath;
    bool nameTaken = false;
    const bool encoded = Encoding(work, JobError::AutoFormat, [&] {
        AutoFormatChoice choice = ChooseAutoFormat(images, work.options, sourcePath);
        if (!choice.winner) return;
        const std::string finalPath = ChangeFileExt(destinationPath, OutputExtension(work.options, choice.winner->extension));
        const std::optional<std::string> exifFailure = AddExif(work, *choice.winner, images, choice.bytes);
        bool written = false;
        try {
            written = WriteOutput(work, finalPath, choice.bytes);
            nameTaken = !written;
        } catch (const Error& e) {
            Report(work, JobError::Write, destinationPath, e.what());
        }
        if (nameTaken) return;
        destinationPath = finalPath;
        if (written && exifFailure) throw Error(*exifFailure);
    });
    return encoded && !nameTaken;
}

bool ConversionJob::WriteChosenFormat(OutputWork& work, const WorkingImageSet& images) {
    const OutputFormat* format = work.output.format;
    if (!format) return true;
    bool nameTaken = false;
    const bool encoded = Encoding(work, JobError::Save, [&] {
        std::optional<std::string> exifFailure;
        // The whole file, EXIF included, so that a target size counts every byte.
        const auto encodeWith = [&](const ConversionOptions& options) {
            exifFailure.reset();
            std::vector<std::uint8_t> bytes = format->encodeWithExif
                                                  ? EncodeWithExif(work, *format, images, exifFailure, options)
                                                  : format->encode(images, options);
            if (!bytes.empty() && !format->encodeWithExif) exifFailure = AddExif(work, *format, images, bytes);
            return bytes;
        };
        std::optional<std::vector<std::uint8_t>> recompressed;
        std::optional<TargetSearchResult> searched = EncodeForTarget(*format, work.options, images, encodeWith);
        // A target asks for the pixels at a searched quality, not for the source's own file.
        if (work.sourcePixelsKept && !searched) recompressed = RecompressedSource(*format, work.options, sourcePath);
        std::vector<std::uint8_t> bytes = searched       ? std::move(searched->bytes)
                                          : recompressed ? std::move(*recompressed)
                                                         : encodeWith(work.options);
        if (bytes.empty()) return;
        // (The EXIF block, and so exifFailure, is the same at every quality a search tried.)
        if (searched) {
            work.output.result.chosenQuality = searched->quality;
            work.output.result.visualScore = searched->score;
        }
        nameTaken = !WriteOutput(work, work.output.destinationPath, bytes);
        if (!nameTaken && searched && searched->missed)
            Note(work, work.output.destinationPath, TargetMissedNote(work.options, *searched, bytes.size()));
        work.output.result.recompressedSource = !nameTaken && recompressed;
        if (!nameTaken && exifFailure) throw Error(*exifFailure);
    });
    return encoded && !nameTaken;
}

// Writes the output under its final name, which no other output of the run may write and which,
// with Overwrite off, must not exist: the move into place itself refuses a taken name, so no
// other job or process can slip in between a test and the write. False, with the output's line,
// when the name is taken; throws Error when the write fails.
bool ConversionJob::WriteOutput(OutputWork& work, const std::string& path, std::span<const std::uint8_t> bytes) {
    if (env_.claims) {
        if (std::optional<std::string> other = env_.claims->Claim(path, sourcePath, jobNumber)) {
            Report(work, JobError::Source, sourcePath, "Same output as " + *other);
            return false;
        }
    }
    try {
        WriteFileAtomically(path, bytes, {.replace = work.options.overwrite});
    } catch (const FileExistsError& e) {
        if (env_.claims) env_.claims->Release(path);
        // A resumed run meets the outputs of its earlier runs: such a name is a skip.
        if (skipExisting) work.foundTaken = true;
        else Report(work, JobError::Source, sourcePath, e.what());
        return false;
    } catch (...) {
        if (env_.claims) env_.claims->Release(path);
        throw;
    }
    return true;
}

// Puts the source's EXIF block into the encoded output when its format carries one, before the
// one write, so that a file on disk is always whole: with its block, or (when the block cannot be
// made) without it. The failure's message is returned for the output's line, which follows the
// write: the picture itself is still written. Under the job lock.
std::optional<std::string> ConversionJob::AddExif(OutputWork& work, const OutputFormat& output,
                                                  const WorkingImageSet& images, std::vector<std::uint8_t>& bytes) {
    if (!output.carriesExif || !work.options.keepExif) return std::nullopt;
    try {
        std::lock_guard<std::mutex> lock(*env_.jobLock);
        const OutputPixels pixels = pixelsTurned_ ? OutputPixels::Upright : OutputPixels::AsStored;
        // Formats other than JPEG take the same block in a chunk or box of their own.
        if (output.withExifBlock) {
            const std::vector<std::uint8_t> block =
                ExifBlockFor(sourcePath, QDateTime::currentDateTime(), pixels, images.image.width(), images.image.height(),
                             work.options.metadata);
            bytes = output.withExifBlock(bytes, block);
            return std::nullopt;
        }
        bytes = WithExif(sourcePath, bytes, QDateTime::currentDateTime(), pixels, work.options.metadata);
    } catch (const Error& e) {
        return std::string(e.what());
    }
    return std::nullopt;
}

// For an encoder that takes the EXIF block itself (AVIF): the block is made first, under the job
// lock, and the picture encoded with it outside the lock. A block that cannot be made leaves the
// output without one; its message comes back in `exifFailure` for the line after the write.
std::vector<std::uint8_t> ConversionJob::EncodeWithExif(OutputWork& work, const OutputFormat& output,
                                                        const WorkingImageSet& images,
                                                        std::optional<std::string>& exifFailure,
                                                        const ConversionOptions& options) {
    std::vector<std::uint8_t> block;
    if (output.carriesExif && work.options.keepExif) {
        try {
            std::lock_guard<std::mutex> lock(*env_.jobLock);
            block = ExifBlockFor(sourcePath, QDateTime::currentDateTime(),
                                 pixelsTurned_ ? OutputPixels::Upright : OutputPixels::AsStored, images.image.width(),
                                 images.image.height(), work.options.metadata);
        } catch (const Error& e) {
            exifFailure = e.what();
        }
    }
    return output.encodeWithExif(images, options, block);
}

void ConversionJob::CountOutput(const OutputWork& work) {
    env_.run->outputKiB.fetch_add(FileSizeOf(work.output.destinationPath) / 1024);
}

}  // namespace zelvan
