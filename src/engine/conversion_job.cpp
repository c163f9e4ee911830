#include "engine/conversion_job.h"

#include <sys/stat.h>

#include <array>
#include <chrono>
#include <new>

#include "base/file_io.h"
#include "base/path_util.h"
#include "engine/exif_step.h"
#include "engine/extensions.h"
#include "engine/mask_language.h"
#include "engine/output_formats.h"
#include "engine/output_naming.h"
#include "engine/resize_planning.h"
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

ConversionJob::~ConversionJob() {
    if (thread_.joinable()) thread_.join();
}

void ConversionJob::Start() { thread_ = std::thread([this] { Execute(); }); }

void ConversionJob::Report(JobError error, const std::string& path, const std::string& message) {
    if (!result.error) {
        result.error = error;
        result.errorMessage = message;
    }
    reported_ = true;
    env_.errors->AppendLine(ErrorLine(error, path, message));
}

void ConversionJob::Execute() {
    const auto started = std::chrono::steady_clock::now();
    result.inputBytes = BytesOf(sourcePath);
    bool wentToTheEnd = false;
    try {
        std::optional<std::string> existing;
        if (skipExisting && existingOutput) {
            // Names are made under the job lock, as the rename step makes them.
            std::lock_guard<std::mutex> lock(*env_.jobLock);
            existing = existingOutput(*this);
        }
        if (existing) {
            result.status = JobResult::Status::Skipped;
            result.outputPath = *existing;
        } else {
            wentToTheEnd = Convert();
        }
    } catch (...) {
        // A failure no step reports (out of memory in an unexpected place) ends the job; it
        // still counts as processed below.
    }
    FinishResult(wentToTheEnd);
    result.milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
    if (reported_) env_.run->failed.fetch_add(1);
    env_.run->processed.fetch_add(1);
    completed.store(true, std::memory_order_release);
}

// The result's status and output once the steps are over; a skip found before them is kept.
void ConversionJob::FinishResult(bool wentToTheEnd) {
    if (result.status == JobResult::Status::Skipped) return;
    if (reported_) {
        result.status = JobResult::Status::Failed;
    } else if (foundTaken_) {
        result.status = JobResult::Status::Skipped;
        // The automatic format's name got its extension only at the write.
        for (const std::string& path : {destinationPath, ChangeFileExt(destinationPath, ".JPG"),
                                        ChangeFileExt(destinationPath, ".PNG")}) {
            if (FileExists(path)) {
                result.outputPath = path;
                break;
            }
        }
        return;
    }
    if (!wentToTheEnd) return;
    result.outputBytes = BytesOf(destinationPath);
    if (result.outputBytes >= 0) result.outputPath = destinationPath;
}

bool ConversionJob::Convert() {
    if (!OutputMayBeWritten()) return false;
    std::optional<LoadedSource> loaded = Load();
    if (!loaded) return false;
    const bool sourceProfile = !loaded->picture.iccProfile.empty();
    std::optional<WorkingImageSet> images = Prepare(std::move(*loaded));
    if (!images) return false;
    const int decodedWidth = images->image.width(), decodedHeight = images->image.height();
    if (options_.autoRotate && !Orient(*images)) return false;
    if (!Resize(*images)) return false;
    if (options_.colourProfile == kConvertToSrgb && !ConvertColoursToSrgb(*images)) return false;
    if (options_.textStampEnabled) StampText(*images);
    if (options_.renameEnabled) Rename(*images);
    sourcePixelsKept_ = !pixelsTurned_ && !options_.textStampEnabled && images->image.width() == decodedWidth &&
                        images->image.height() == decodedHeight &&
                        !(sourceProfile && options_.colourProfile != kKeepColourProfile);
    if (!EncodeAndWrite(*images)) return false;
    CountOutput();
    return true;
}

// An existing output blocks the job unless overwriting is allowed. The test uses the path as
// the scheduler built it, before any renaming or change of extension.
bool ConversionJob::OutputMayBeWritten() {
    // A resumed run tests the final path instead (Execute and the write).
    if (options_.overwrite || skipExisting || !FileExists(destinationPath)) return true;
    Report(JobError::Source, sourcePath, "File already exists");
    return false;
}

// Pictures decode side by side: every reader keeps its state in objects of its own job (libjpeg,
// libpng, giflib, libtiff with per-file handlers, OpenJPEG, Little CMS with its own context and a
// locked transform cache). The RAW plug-in does not: it hands its bitmap back through one buffer
// of its own (FreeMemory takes no handle), so RAW sources load one at a time, under the job lock.
// Sizes are counted in whole KiB; -1 (not measurable) counts 0.
std::optional<LoadedSource> ConversionJob::Load() {
    std::optional<LoadedSource> loaded;
    try {
        std::unique_lock<std::mutex> lock(*env_.jobLock, std::defer_lock);
        if (IsRawExtension(ExtractFileExt(sourcePath))) lock.lock();
        loaded = LoadSource(sourcePath, env_.rawPluginPath);
    } catch (const LoadFailure& failure) {
        switch (failure.kind()) {
            case LoadFailure::Kind::Picture: Report(JobError::Source, sourcePath, failure.what()); break;
            case LoadFailure::Kind::RawPlugin: Report(JobError::RawPlugin, sourcePath, failure.what()); break;
            case LoadFailure::Kind::RawLibraryMissing: Report(JobError::Write, destinationPath, failure.what()); break;
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
        Report(JobError::Source, sourcePath, e.what());
        return std::nullopt;
    } catch (const std::bad_alloc&) {
        Report(JobError::Source, sourcePath, "not enough memory for the image");
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
        OrientWorkingImage(images);
    } catch (const Error& e) {
        Report(JobError::Source, sourcePath, e.what());
        return false;
    } catch (const std::bad_alloc&) {
        Report(JobError::Source, sourcePath, "not enough memory to turn the image");
        return false;
    }
    pixelsTurned_ = turning;
    return true;
}

// Outside the job lock. A stretched or percentage resize that fails is reported and the job
// goes on with the images unchanged. A failed proportional fit ends the job; it is reported
// too, so that the run does not count the missing output as converted.
bool ConversionJob::Resize(WorkingImageSet& images) {
    try {
        ResizeWorkingImage(images, options_);
    } catch (const ResizeFailure& failure) {
        switch (failure.kind()) {
            case ResizeFailure::Kind::FixedSize: Report(JobError::Resize, destinationPath, failure.what()); break;
            case ResizeFailure::Kind::Percentage: Report(JobError::PercentResize, sourcePath, failure.what()); break;
            case ResizeFailure::Kind::Fit: Report(JobError::Resize, destinationPath, failure.what()); return false;
        }
    }
    return true;
}

// The pixels turned from the source's profile to sRGB, which the outputs then assume: after the
// resize (fewer pixels to turn) and before the stamp (its colour is meant as sRGB).
bool ConversionJob::ConvertColoursToSrgb(WorkingImageSet& images) {
    try {
        ConvertToSrgb(images.image, images.iccProfile);
    } catch (const std::bad_alloc&) {
        Report(JobError::Source, sourcePath, "not enough memory to convert the colours");
        return false;
    }
    images.iccProfile.clear();
    return true;
}

// Its EXIF dates are read and the text drawn under the job lock. A failure here ends the job
// (the exception reaches Execute).
void ConversionJob::StampText(WorkingImageSet& images) {
    const MaskDateConventions dates = DatesOf(env_);
    MaskSubject subject = MaskSubjectOf(sourcePath, destinationPath, jobNumber, images.image.width(),
                                        images.image.height(), QDateTime::currentDateTime());
    std::lock_guard<std::mutex> lock(*env_.jobLock);
    ExifDateTexts exif = ReadExifDateTexts(sourcePath, dates.display, subject.now);
    subject.exifDate = exif.date;
    subject.exifTime = exif.time;
    // A palette or grey picture stays one where the chosen output keeps palettes.
    const bool keepPalette = !options_.autoFormat && format && format->keepsPalette;
    DrawTextStamp(images.image,
                  ExpandMask(options_.textStampMask, subject, MaskKind::TextStamp, dates, options_.counterDigits),
                  options_, keepPalette);
}

// The output's name from the rename mask.
void ConversionJob::Rename(const WorkingImageSet& images) {
    const MaskDateConventions dates = DatesOf(env_);
    std::lock_guard<std::mutex> lock(*env_.jobLock);
    destinationPath = RenamedDestinationPath(options_,
                                             MaskSubjectOf(sourcePath, destinationPath, jobNumber, images.image.width(),
                                                           images.image.height(), QDateTime::currentDateTime()),
                                             dates);
}

bool ConversionJob::EncodeAndWrite(const WorkingImageSet& images) {
    return options_.autoFormat ? WriteAutomaticFormat(images) : WriteChosenFormat(images);
}

// Runs an encoding step; a failure of it ends the job with a line of that kind.
template <typename Step>
bool ConversionJob::Encoding(JobError error, Step step) {
    try {
        step();
    } catch (const Error& e) {
        Report(error, destinationPath, e.what());
        return false;
    } catch (const std::bad_alloc&) {
        Report(error, destinationPath, "not enough memory to encode the image");
        return false;
    }
    return true;
}

// The smaller of JPEG and PNG. A failed write of the winner is reported and the job goes on.
bool ConversionJob::WriteAutomaticFormat(const WorkingImageSet& images) {
    bool nameTaken = false;
    const bool encoded = Encoding(JobError::AutoFormat, [&] {
        AutoFormatChoice choice = ChooseAutoFormat(images, options_, sourcePath);
        if (!choice.winner) return;
        const std::string finalPath = ChangeFileExt(destinationPath, "." + std::string(choice.winner->extension));
        const std::optional<std::string> exifFailure = AddExif(*choice.winner, images, choice.bytes);
        bool written = false;
        try {
            written = WriteOutput(finalPath, choice.bytes);
            nameTaken = !written;
        } catch (const Error& e) {
            Report(JobError::Write, destinationPath, e.what());
        }
        if (nameTaken) return;
        destinationPath = finalPath;
        if (written && exifFailure) throw Error(*exifFailure);
    });
    return encoded && !nameTaken;
}

bool ConversionJob::WriteChosenFormat(const WorkingImageSet& images) {
    if (!format) return true;
    bool nameTaken = false;
    const bool encoded = Encoding(JobError::Save, [&] {
        std::optional<std::vector<std::uint8_t>> recompressed;
        if (sourcePixelsKept_) recompressed = RecompressedSource(*format, options_, sourcePath);
        std::optional<std::string> exifFailure;
        std::vector<std::uint8_t> bytes = recompressed            ? std::move(*recompressed)
                                          : format->encodeWithExif ? EncodeWithExif(*format, images, exifFailure)
                                                                   : format->encode(images, options_);
        if (bytes.empty()) return;
        // A recompressed source keeps its own metadata (less its EXIF with Exif off): the original is
        // rebuilt from it.
        if (!recompressed && !format->encodeWithExif) exifFailure = AddExif(*format, images, bytes);
        nameTaken = !WriteOutput(destinationPath, bytes);
        if (!nameTaken && exifFailure) throw Error(*exifFailure);
    });
    return encoded && !nameTaken;
}

// Writes the output under its final name, which no other job of the run may write and which,
// with Overwrite off, must not exist: the move into place itself refuses a taken name, so no
// other job or process can slip in between a test and the write. False, with the job's line,
// when the name is taken; throws Error when the write fails.
bool ConversionJob::WriteOutput(const std::string& path, std::span<const std::uint8_t> bytes) {
    if (env_.claims) {
        if (std::optional<std::string> other = env_.claims->Claim(path, sourcePath)) {
            Report(JobError::Source, sourcePath, "Same output as " + *other);
            return false;
        }
    }
    try {
        WriteFileAtomically(path, bytes, {.replace = options_.overwrite});
    } catch (const FileExistsError& e) {
        if (env_.claims) env_.claims->Release(path);
        // A resumed run meets the outputs of its earlier runs: such a name is a skip.
        if (skipExisting) foundTaken_ = true;
        else Report(JobError::Source, sourcePath, e.what());
        return false;
    } catch (...) {
        if (env_.claims) env_.claims->Release(path);
        throw;
    }
    return true;
}

// Puts the source's EXIF block into the encoded output when its format carries one, before the
// one write, so that a file on disk is always whole: with its block, or (when the block cannot be
// made) without it. The failure's message is returned for the job's line, which follows the write:
// the picture itself is still written. Under the job lock.
std::optional<std::string> ConversionJob::AddExif(const OutputFormat& output, const WorkingImageSet& images,
                                                  std::vector<std::uint8_t>& bytes) {
    if (!output.carriesExif || !options_.keepExif) return std::nullopt;
    try {
        std::lock_guard<std::mutex> lock(*env_.jobLock);
        const OutputPixels pixels = pixelsTurned_ ? OutputPixels::Upright : OutputPixels::AsStored;
        // Formats other than JPEG take the same block in a chunk or box of their own.
        if (output.withExifBlock) {
            const std::vector<std::uint8_t> block =
                ExifBlockFor(sourcePath, QDateTime::currentDateTime(), pixels, images.image.width(), images.image.height());
            bytes = output.withExifBlock(bytes, block);
            return std::nullopt;
        }
        bytes = WithExif(sourcePath, bytes, QDateTime::currentDateTime(), pixels);
    } catch (const Error& e) {
        return std::string(e.what());
    }
    return std::nullopt;
}

// For an encoder that takes the EXIF block itself (AVIF): the block is made first, under the job
// lock, and the picture encoded with it outside the lock. A block that cannot be made leaves the
// output without one; its message comes back in `exifFailure` for the line after the write.
std::vector<std::uint8_t> ConversionJob::EncodeWithExif(const OutputFormat& output, const WorkingImageSet& images,
                                                        std::optional<std::string>& exifFailure) {
    std::vector<std::uint8_t> block;
    if (output.carriesExif && options_.keepExif) {
        try {
            std::lock_guard<std::mutex> lock(*env_.jobLock);
            block = ExifBlockFor(sourcePath, QDateTime::currentDateTime(),
                                 pixelsTurned_ ? OutputPixels::Upright : OutputPixels::AsStored, images.image.width(),
                                 images.image.height());
        } catch (const Error& e) {
            exifFailure = e.what();
        }
    }
    return output.encodeWithExif(images, options_, block);
}

void ConversionJob::CountOutput() { env_.run->outputKiB.fetch_add(FileSizeOf(destinationPath) / 1024); }

}  // namespace zelvan
