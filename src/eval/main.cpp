// zemb-eval: scores foreground masks against a ground-truth sequence.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "eval/eval.h"

namespace {

using namespace zemb::eval;

// Exit statuses.
constexpr int exit_scored = 0;
constexpr int exit_bad_file = 1;      // a file is missing or cannot be used
constexpr int exit_command_line = 2;  // a faulty command line

const char* const usage_text =
    "Usage: zemb-eval [options] <masks> <truth>\n"
    "\n"
    "Scores foreground masks against ground truth as the changedetection.net\n"
    "benchmark does: ground truth 0 and 50 is background, 255 foreground, 85 and\n"
    "170 are not scored, nor are pixels outside the region of interest; a mask\n"
    "pixel is foreground when it is not zero.\n"
    "\n"
    "<masks>  a folder with zemb's masks (<base>Mask.<number>.pgm) or the\n"
    "         benchmark's (bin000001.png), or a file pattern with %d or %0Nd for\n"
    "         the frame number, e.g. out/inMask.%d.pgm\n"
    "<truth>  a benchmark sequence folder (groundtruth/gt%06d.png, and ROI.bmp and\n"
    "         temporalROI.txt when present), or a pattern of ground-truth files\n"
    "         (PNG, BMP, JPEG, PPM or PGM)\n"
    "\n"
    "Options:\n"
    "  --first N            first frame to score\n"
    "  --last N             last frame to score\n"
    "                       (default: the frames of the temporal region of interest\n"
    "                       from the first to the last mask present; every frame in\n"
    "                       the range must have a mask and a ground truth)\n"
    "  --roi FILE           region of interest: only its non-zero pixels are scored\n"
    "                       (replaces the folder's ROI.bmp)\n"
    "  --temporal-roi FILE  file with the first and last frame to score\n"
    "                       (replaces the folder's temporalROI.txt)\n"
    "  --format F           text (default), kv (key=value lines), json, or csv (one\n"
    "                       line per frame, then a line 'total')\n"
    "  --kv, --json, --csv  the same as --format kv, json, csv\n"
    "  -h, --help           this text\n"
    "\n"
    "A score whose denominator is zero is printed as nan (null in JSON).\n"
    "Exit status: 0 scored, 1 a file is missing or unusable, 2 a faulty command line.\n";

enum class Format { text, kv, json, csv };

struct Options {
    std::string masks, truth;
    std::optional<int> first, last;
    std::string roi, temporal_roi;
    Format format = Format::text;
};

struct CommandLineError {
    std::string message;
};

int parse_frame(const std::string& option, const std::string& text)
{
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value < -2147483647L - 1 || value > 2147483647L)
        throw CommandLineError{option + ": '" + text + "' is not a frame number"};
    return static_cast<int>(value);
}

Options parse_command_line(int argc, char** argv)
{
    Options options;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i], value;
        const bool is_option = arg.size() > 2 && arg.compare(0, 2, "--") == 0;
        const std::size_t equals = arg.find('=');
        bool joined = false;
        if (is_option && equals != std::string::npos) {
            value = arg.substr(equals + 1);
            arg = arg.substr(0, equals);
            joined = true;
        }
        auto take_value = [&]() -> std::string {
            if (joined)
                return value;
            if (i + 1 >= argc)
                throw CommandLineError{arg + " needs a value"};
            return argv[++i];
        };
        if (arg == "-h" || arg == "--help") {
            std::fputs(usage_text, stdout);
            std::exit(exit_scored);
        } else if (arg == "--first") {
            options.first = parse_frame(arg, take_value());
        } else if (arg == "--last") {
            options.last = parse_frame(arg, take_value());
        } else if (arg == "--roi") {
            options.roi = take_value();
        } else if (arg == "--temporal-roi") {
            options.temporal_roi = take_value();
        } else if (arg == "--format") {
            const std::string f = take_value();
            if (f == "text")
                options.format = Format::text;
            else if (f == "kv")
                options.format = Format::kv;
            else if (f == "json")
                options.format = Format::json;
            else if (f == "csv")
                options.format = Format::csv;
            else
                throw CommandLineError{"--format: '" + f + "' is none of text, kv, json, csv"};
        } else if (arg == "--kv" || arg == "--json" || arg == "--csv") {
            if (joined)
                throw CommandLineError{arg + " takes no value"};
            options.format = arg == "--kv" ? Format::kv : arg == "--json" ? Format::json : Format::csv;
        } else if (arg == "--") {
            for (++i; i < argc; ++i)
                positional.push_back(argv[i]);
        } else if (arg.size() > 1 && arg[0] == '-') {
            throw CommandLineError{"unknown option " + arg};
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.size() != 2)
        throw CommandLineError{positional.size() < 2 ? "the masks and the ground truth are both needed"
                                                     : "too many arguments"};
    options.masks = positional[0];
    options.truth = positional[1];
    if (options.first && options.last && *options.first > *options.last)
        throw CommandLineError{"--first " + std::to_string(*options.first) + " comes after --last " +
                               std::to_string(*options.last)};
    return options;
}

// A folder is a folder even when its name holds a '%'.
bool is_pattern(const std::string& text)
{
    std::error_code error;
    return text.find('%') != std::string::npos && !std::filesystem::is_directory(text, error);
}

// A pattern that cannot be used, or a mask folder that needs one, is a fault
// of the command line.
FramePattern make_pattern(const std::string& text, bool folder_of_masks)
{
    try {
        return folder_of_masks ? mask_pattern_in_folder(text) : parse_pattern(text);
    } catch (const std::invalid_argument& e) {
        throw CommandLineError{text + ": " + e.what()};
    }
}

// ---- Output -------------------------------------------------------------

std::string number(double value, bool json)
{
    if (std::isnan(value))
        return json ? "null" : "nan";
    char text[64];
    std::snprintf(text, sizeof text, "%.6f", value);
    return text;
}

struct Field {
    const char* name;
    double value;
};

std::vector<Field> score_fields(const Scores& s)
{
    return {{"recall", s.recall},   {"specificity", s.specificity}, {"FPR", s.fpr},
            {"FNR", s.fnr},         {"PWC", s.pwc},                 {"precision", s.precision},
            {"F-measure", s.f_measure}};
}

void print_csv_header()
{
    std::printf("frame,TP,FP,FN,TN");
    for (const Field& f : score_fields(Scores{}))
        std::printf(",%s", f.name);
    std::printf("\n");
}

void print_csv_line(const std::string& frame, const Counts& c)
{
    std::printf("%s,%llu,%llu,%llu,%llu", frame.c_str(), static_cast<unsigned long long>(c.tp),
                static_cast<unsigned long long>(c.fp), static_cast<unsigned long long>(c.fn),
                static_cast<unsigned long long>(c.tn));
    for (const Field& f : score_fields(compute_scores(c)))
        std::printf(",%s", number(f.value, false).c_str());
    std::printf("\n");
}

void print_summary(Format format, const FrameRange& range, const Counts& c)
{
    const long long frames = static_cast<long long>(range.last) - range.first + 1;
    const std::vector<std::pair<const char*, unsigned long long>> counts = {
        {"TP", c.tp}, {"FP", c.fp}, {"FN", c.fn}, {"TN", c.tn}};
    const std::vector<Field> scores = score_fields(compute_scores(c));
    switch (format) {
    case Format::text:
        std::printf("%-12s %d..%d (%lld)\n", "frames", range.first, range.last, frames);
        for (const auto& [name, value] : counts)
            std::printf("%-12s %llu\n", name, value);
        for (const Field& f : scores)
            std::printf("%-12s %s\n", f.name, number(f.value, false).c_str());
        break;
    case Format::kv:
        std::printf("first=%d\nlast=%d\nframes=%lld\n", range.first, range.last, frames);
        for (const auto& [name, value] : counts)
            std::printf("%s=%llu\n", name, value);
        for (const Field& f : scores)
            std::printf("%s=%s\n", f.name, number(f.value, false).c_str());
        break;
    case Format::json:
        std::printf("{\"first\": %d, \"last\": %d, \"frames\": %lld", range.first, range.last, frames);
        for (const auto& [name, value] : counts)
            std::printf(", \"%s\": %llu", name, value);
        for (const Field& f : scores)
            std::printf(", \"%s\": %s", f.name, number(f.value, true).c_str());
        std::printf("}\n");
        break;
    case Format::csv:
        print_csv_line("total", c);
        break;
    }
}

// ---- The run ------------------------------------------------------------

FrameRange frames_to_score(const Options& options, const FramePattern& masks,
                           const std::string& temporal_roi_file)
{
    FrameRange range;
    if (options.first && options.last)
        return {*options.first, *options.last};
    const std::vector<int> present = frames_present(masks);
    if (present.empty())
        throw EvalError(masks.text(), "no mask file matches this pattern");
    range = {present.front(), present.back()};
    std::string limits = "masks " + std::to_string(range.first) + ".." + std::to_string(range.last);
    if (!temporal_roi_file.empty()) {
        const FrameRange temporal = read_temporal_roi(temporal_roi_file);
        range.first = std::max(range.first, temporal.first);
        range.last = std::min(range.last, temporal.last);
        limits += ", temporal region of interest " + std::to_string(temporal.first) + ".." +
                  std::to_string(temporal.last);
    }
    if (options.first) {
        range.first = *options.first;
        limits += ", --first " + std::to_string(range.first);
    }
    if (options.last) {
        range.last = *options.last;
        limits += ", --last " + std::to_string(range.last);
    }
    if (range.first > range.last)
        throw EvalError(masks.text(), "no frame to score (" + limits + ")");
    return range;
}

std::string size_text(const GreyFile& image)
{
    return std::to_string(image.width()) + " x " + std::to_string(image.height());
}

bool same_size(const GreyFile& a, const GreyFile& b)
{
    return a.width() == b.width() && a.height() == b.height();
}

int score(const Options& options)
{
    const FramePattern masks = make_pattern(options.masks, !is_pattern(options.masks));
    TruthSource source;
    if (is_pattern(options.truth))
        source.pattern = options.truth;
    else
        source = truth_in_folder(options.truth);
    if (!options.roi.empty())
        source.roi_file = options.roi;
    if (!options.temporal_roi.empty())
        source.temporal_roi_file = options.temporal_roi;
    const FramePattern truth = make_pattern(source.pattern, false);

    const FrameRange range = frames_to_score(options, masks, source.temporal_roi_file);
    // The region of interest is read with the first ground truth, whose size
    // it must have.
    std::optional<GreyImage> roi;

    if (options.format == Format::csv)
        print_csv_header();
    Counts total;
    for (long long k = range.first; k <= range.last; ++k) {
        const int frame = static_cast<int>(k);
        // Both headers are read and compared before either file is decoded.
        GreyFile mask_file(masks.name(frame));
        GreyFile truth_file(truth.name(frame));
        if (!same_size(mask_file, truth_file))
            throw EvalError(mask_file.path(), "the mask has " + size_text(mask_file) +
                                                  " pixels but its ground truth " + truth_file.path() +
                                                  " has " + size_text(truth_file));
        if (!roi && !source.roi_file.empty()) {
            GreyFile roi_file(source.roi_file);
            if (!same_size(roi_file, truth_file))
                throw EvalError(roi_file.path(), "the region of interest has " + size_text(roi_file) +
                                                     " pixels but the ground truth " + truth_file.path() +
                                                     " has " + size_text(truth_file));
            roi = roi_file.decode();
        }
        const GreyImage mask = mask_file.decode();
        const GreyImage gt = truth_file.decode();
        Counts counts;
        count_frame(mask.pixels.data(), gt.pixels.data(), roi ? roi->pixels.data() : nullptr,
                    gt.pixels.size(), counts);
        total += counts;
        if (options.format == Format::csv)
            print_csv_line(std::to_string(frame), counts);
    }
    print_summary(options.format, range, total);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "zemb-eval: standard output: write failed\n");
        return exit_bad_file;
    }
    return exit_scored;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    try {
        options = parse_command_line(argc, argv);
    } catch (const CommandLineError& e) {
        std::fprintf(stderr, "zemb-eval: %s\n\n%s", e.message.c_str(), usage_text);
        return exit_command_line;
    }
    try {
        return score(options);
    } catch (const CommandLineError& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "zemb-eval: %s\n\n%s", e.message.c_str(), usage_text);
        return exit_command_line;
    } catch (const EvalError& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "zemb-eval: %s: %s\n", e.file().c_str(), e.what());
        return exit_bad_file;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "zemb-eval: out of memory\n");
        return exit_bad_file;
    }
}
