#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/startup.h"

#include "model/model.h"
#include "run/engine.h"
#include "run/frames.h"
#include "run/model_file.h"
#include "run/resources.h"

namespace zemb {

namespace {

bool is_separator(char c) { return c == '/' || c == '\\'; }

bool is_c_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The model file switches, and the switches given (to tell a setting given
// anew from one a loaded model file brings).
struct ModelSwitches {
    const char* save = nullptr;
    const char* roi = nullptr;  // --roi: a model file does not keep the region
    const char* load = nullptr;
    int checkpoint = 0;
    int freeze_after = 0;
    std::vector<std::string> given;

    bool was_given(const char* name) const
    {
        return std::find(given.begin(), given.end(), name) != given.end();
    }
};

// Reads the thirteen switches in their fixed order, then -j, -o, -O (null when
// absent), --estimate-memory, --no-wait, --report and the model file switches.
// The order matters: an argument equal to an earlier switch's text is consumed
// by that earlier read. The calls at the end are
// the command line's one table of switches: each read notes its switch in
// `known`.
SwitchFault read_switches(int& argc, char** argv, RunParameters& p, int& threads,
                          const char*& output_folder, const char*& mask_pattern,
                          RunConfig& config, LiveSwitches& live, const char*& report_path,
                          ModelSwitches& model, const char*& faulty, const char*& typed,
                          SwitchTable& known)
{
    SwitchFault fault = SwitchFault::none;
    // Notes each switch that was there.
    auto note = [&](const char* name, int argc_before) {
        if (argc != argc_before)
            model.given.push_back(name);
    };
    // Each read keeps the value already in place (the default) when its
    // switch is absent, or once an earlier read has failed.
    auto integer = [&](const char* name, int& value) {
        known.push_back({name, 1});
        if (fault != SwitchFault::none)
            return;
        const int argc_before = argc;
        value = take_int_switch(argc, argv, name, value, fault, &typed);
        if (fault != SwitchFault::none)
            faulty = name;
        note(name, argc_before);
    };
    // Real switches are read as doubles and stored as 32-bit floats; every
    // later use, the echo included, sees the float.
    auto real = [&](const char* name, float& value) {
        known.push_back({name, 1});
        if (fault != SwitchFault::none)
            return;
        const int argc_before = argc;
        const double read = take_real_switch(argc, argv, name, value, fault, &typed);
        if (fault != SwitchFault::none)
            faulty = name;
        else
            value = static_cast<float>(read);
        note(name, argc_before);
    };
    auto flag = [&](const char* name, bool& value) {
        known.push_back({name, 0});
        if (fault != SwitchFault::none)
            return;
        value = take_switch(argc, argv, name, false, nullptr, fault) != nullptr;
        if (value)
            model.given.push_back(name);
    };
    auto text = [&](const char* name, const char*& value) {
        known.push_back({name, 1});
        if (fault != SwitchFault::none)
            return;
        value = take_switch(argc, argv, name, true, value, fault);
        if (fault != SwitchFault::none)
            faulty = name;
    };
    integer("-n", p.n);
    real("-e1", p.e1);
    real("-e2", p.e2);
    integer("-K", p.K);
    real("-c1", p.c1);
    real("-c2", p.c2);
    real("-g", p.shadow.gamma);
    real("-b", p.shadow.beta);
    real("-tS", p.shadow.tau_S);
    real("-tH", p.shadow.tau_H);
    flag("-s", p.shadow.enabled);
    integer("-G", p.ghost_frames);
    real("--relearn", p.relearn_fraction);
    flag("-m", p.save_models);
    flag("-l", p.last_mask_only);
    integer("-j", threads);
    text("-o", output_folder);
    text("-O", mask_pattern);
    flag("--estimate-memory", config.estimate_memory);
    flag("--no-wait", config.no_wait);
    text("--stats", live.stats);
    text("--overlay", live.overlay);
    real("--stall", live.stall_seconds);
    integer("--reconnect", live.reconnect);
    text("--report", report_path);
    text("--save-model", model.save);
    text("--load-model", model.load);
    integer("--checkpoint", model.checkpoint);
    integer("--freeze-after", model.freeze_after);
    text("--roi", model.roi);
    return fault;
}

}  // namespace

void split_sequence_name(const char* name, std::string& directory, std::string& base)
{
    std::size_t length = std::strlen(name);
    std::size_t cut = length;  // index just after the last separator, or 0
    while (cut > 0 && !is_separator(name[cut - 1]))
        --cut;
    directory.assign(name, cut);
    base.assign(name + cut, length - cut);
    if (base.empty())
        base = "L0";
}

int parse_frame_number(const char* text)
{
    while (is_c_space(*text))
        ++text;
    bool negative = *text == '-';
    if (*text == '+' || *text == '-')
        ++text;
    long long magnitude = 0;
    for (; *text >= '0' && *text <= '9'; ++text)
        if (magnitude <= static_cast<long long>(INT_MAX) + 1)
            magnitude = magnitude * 10 + (*text - '0');
    long long value = negative ? -magnitude : magnitude;
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

bool take_output_switches(const char* folder, const char* mask_pattern, RunConfig& config)
{
    if (folder != nullptr && *folder == '\0') {
        std::fprintf(stderr, "zemb: -o needs a folder name\n");
        return false;
    }
    if (folder != nullptr)
        config.output_folder = folder;
    if (mask_pattern != nullptr && media::is_video_name(mask_pattern) &&
        std::strchr(mask_pattern, '%') == nullptr) {
        if (std::strpbrk(mask_pattern, "/\\") != nullptr) {
            std::fprintf(stderr, "zemb: -O %s: the mask video is a file name; give its folder with -o\n",
                         mask_pattern);
            return false;
        }
        config.mask_pattern = mask_pattern;
        config.mask_video = output_path(config.output_folder, mask_pattern);
    } else if (mask_pattern != nullptr) {
        media::FramePattern names;
        if (const char* fault = parse_mask_pattern(config.output_folder, mask_pattern, names)) {
            std::fprintf(stderr, "zemb: -O %s: %s\n", mask_pattern, fault);
            return false;
        }
        config.mask_pattern = mask_pattern;
        config.mask_names = std::move(names);
        config.png_masks = is_png_pattern(config.mask_pattern);
    }
    return true;
}

bool take_live_switches(const LiveSwitches& live, RunConfig& config)
{
    for (const char* name : {live.stats, live.overlay})
        if (name != nullptr && *name == '\0') {
            std::fprintf(stderr, "zemb: %s needs a file name\n", name == live.stats ? "--stats" : "--overlay");
            return false;
        }
    if (live.overlay != nullptr && !media::is_video_name(live.overlay)) {
        std::fprintf(stderr, "zemb: --overlay %s: the extension says the container: .mkv, .mp4, .avi or .nut\n",
                     live.overlay);
        return false;
    }
    if (!(live.stall_seconds > 0.0f) || live.stall_seconds > max_stall_seconds) {
        std::fprintf(stderr, "zemb: --stall must be above 0 and at most %g seconds, not %g\n",
                     max_stall_seconds, static_cast<double>(live.stall_seconds));
        return false;
    }
    if (live.reconnect < 0) {
        std::fprintf(stderr, "zemb: --reconnect must be 0 (never) or more, not %d\n", live.reconnect);
        return false;
    }
    config.live.stall_seconds = live.stall_seconds;
    config.live.reconnect = live.reconnect;
    if (live.stats != nullptr)
        config.stats_path = live.stats;
    if (live.overlay != nullptr)
        config.overlay_video = live.overlay;
    return true;
}

namespace {

// Whether the switch values can make a run; says why not. Sets the run's
// thread count and outputs.
bool accept_values(RunConfig& config, int threads, const char* output_folder,
                   const char* mask_pattern)
{
    const RunParameters& p = config.params;
    if (!is_supported_block_side(p.n)) {
        std::fprintf(stderr, "zemb: -n must be 1, 3, 5, 7 or 9 (the map side), not %d\n", p.n);
        return false;
    }
    if (p.K < 1) {
        std::fprintf(stderr, "zemb: -K must be at least 1 (the first frame counts), not %d\n", p.K);
        return false;
    }
    if (static_cast<long long>(p.first_frame) + p.K - 1 > INT_MAX) {
        std::fprintf(stderr,
                     "zemb: -K %d would ask for frame numbers beyond %d, the largest a name "
                     "can carry\n",
                     p.K, INT_MAX);
        return false;
    }
    if (p.ghost_frames < 0) {
        std::fprintf(stderr, "zemb: -G must be 0 (never) or more frames, not %d\n", p.ghost_frames);
        return false;
    }
    if (!(p.relearn_fraction >= 0.0f && p.relearn_fraction <= 1.0f)) {
        std::fprintf(stderr, "zemb: --relearn must be a fraction from 0 (never) to 1, not %g\n",
                     static_cast<double>(p.relearn_fraction));
        return false;
    }
    if (threads < 0) {
        std::fprintf(stderr, "zemb: -j must be 0 (one per core) or more, not %d\n", threads);
        return false;
    }
    config.threads = threads > 0 ? threads : usable_cores();
    return take_output_switches(output_folder, mask_pattern, config);
}

// The model file switches. A loaded file brings every setting the command
// line does not give anew; n and K given anew must be the file's. Returns
// the start-up's outcome: a switch that cannot work is the command line's
// fault, a file that cannot be used the run's.
StartUp accept_model_switches(RunConfig& config, const ModelSwitches& model)
{
    RunParameters& p = config.params;
    if (model.checkpoint < 0 || (model.checkpoint > 0 && model.save == nullptr)) {
        std::fprintf(stderr, "zemb: --checkpoint needs a number of frames of 1 or more, and "
                             "--save-model to name the file\n");
        return StartUp::command_line;
    }
    for (const char* file : {model.save, model.load})
        if (file != nullptr && *file == '\0') {
            std::fprintf(stderr, "zemb: --save-model and --load-model need a file name\n");
            return StartUp::command_line;
        }
    if ((model.save != nullptr || model.load != nullptr) &&
        (p.ghost_frames > 0 || p.relearn_fraction > 0.0f)) {
        std::fprintf(stderr, "zemb: %s\n", model_file_recovery_refusal);
        return StartUp::command_line;
    }
    if (model.roi != nullptr && *model.roi == '\0') {
        std::fprintf(stderr, "zemb: --roi needs a file name\n");
        return StartUp::command_line;
    }
    // A resumed run would not know the region it started with.
    if (model.roi != nullptr && (model.save != nullptr || model.load != nullptr)) {
        std::fprintf(stderr, "zemb: --roi cannot be combined with --save-model or --load-model: "
                             "a model file does not keep the region\n");
        return StartUp::command_line;
    }
    if (model.roi != nullptr)
        config.region_path = model.roi;
    if (model.save != nullptr) {
        config.save_model = model.save;
        p.piece = true;
    }
    config.checkpoint = model.checkpoint;
    if (model.was_given("--freeze-after"))
        config.freeze_after = model.freeze_after;
    if (model.load == nullptr)
        return StartUp::run;

    config.load_model = model.load;
    ModelFileHeader header;
    RoadSettings wanted = p;
    ModelFileResult read = read_model_header(model.load, header);
    if (read.ok()) {
        if (!model.was_given("-n"))
            wanted.n = header.settings.n;
        if (!model.was_given("-K"))
            wanted.K = header.settings.K;
        read = match_model_file(header, header.width, header.height, wanted);
    }
    if (!read.ok()) {
        std::fprintf(stderr, "zemb: %s: %s\n", model.load,
                     model_file_message(read, header, 0, 0, wanted.n, wanted.K).c_str());
        return StartUp::cannot_start;
    }
    const RoadSettings& s = header.settings;
    auto from_file = [&](const char* name, auto& value, auto saved) {
        if (model.was_given(name))
            return;
        value = saved;
        config.from_model_file += config.from_model_file.empty() ? name : std::string(" ") + name;
    };
    from_file("-n", p.n, s.n);
    from_file("-K", p.K, s.K);
    from_file("-e1", p.e1, s.e1);
    from_file("-e2", p.e2, s.e2);
    from_file("-c1", p.c1, s.c1);
    from_file("-c2", p.c2, s.c2);
    from_file("-s", p.shadow.enabled, s.shadow.enabled);
    from_file("-g", p.shadow.gamma, s.shadow.gamma);
    from_file("-b", p.shadow.beta, s.shadow.beta);
    from_file("-tS", p.shadow.tau_S, s.shadow.tau_S);
    from_file("-tH", p.shadow.tau_H, s.shadow.tau_H);
    p.resumed_frames = header.frames;
    config.loaded = header;
    return StartUp::run;
}

// The frames' size must be the loaded model's.
bool accept_model_size(const RunConfig& config)
{
    if (!config.loaded)
        return true;
    const ModelFileResult match = match_model_file(*config.loaded, config.width, config.height,
                                                   config.params);
    if (match.ok())
        return true;
    std::fprintf(stderr, "zemb: %s: %s\n", config.load_model.c_str(),
                 model_file_message(match, *config.loaded, config.width, config.height,
                                    config.params.n, config.params.K)
                     .c_str());
    return false;
}

// The frames' route, from the sequence name; a faulty pattern is a faulty
// command line.
bool choose_route(const RunConfig& config, const char* name, media::SourceKind& kind,
                  media::FramePattern& pattern)
{
    media::PatternFault fault = media::PatternFault::none;
    FileNames names(config.directory, config.base);
    kind = media::choose_source(name, names.frame(config.params.first_frame), pattern, fault);
    if (fault == media::PatternFault::none)
        return true;
    std::fprintf(stderr, "zemb: %s: %s\n", name, media::describe(fault));
    return false;
}

// Bytes a run holds per pixel of its frames, near enough to bound a
// decoder's image before anything is known of its size: the estimate of a
// frame of a million pixels, shared out (the straightforward engine's, which
// keeps two models, so that no engine is held to less).
std::uint64_t run_bytes_per_pixel(const RunConfig& config)
{
    constexpr int probe_side = 1024;
    RunConfig probe = config;
    probe.width = probe.height = probe_side;
    probe.pixels = std::size_t(probe_side) * probe_side;
    return std::max<std::uint64_t>(1, run_memory_bytes(probe, Engine::reference, 0) / probe.pixels);
}

// Reads the --roi image: a pixel is inside when any of its channels is not
// 0. Any format a frame may have; its size is checked against the frames'
// once they are open.
bool read_region(RunConfig& config)
{
    const char* path = config.region_path.c_str();
    media::ImageReader reader;
    const std::uint64_t pixel_cap = memory_limit(0).bytes / run_bytes_per_pixel(config);
    media::Result read = reader.open(path, pixel_cap);
    if (read.fault == media::Fault::none && (read.width <= 0 || read.height <= 0)) {
        std::fprintf(stderr, "zemb: %s: the region image has no pixels\n", path);
        return false;
    }
    const int width = read.width, height = read.height;
    const std::size_t pixels = std::size_t(width) * std::size_t(height);
    try {
        if (read.fault == media::Fault::none) {
            BytePlanes planes = alloc_byte_planes(plane_count, pixels);
            read = reader.decode(planes);
            if (read.fault == media::Fault::none) {
                config.region.resize(pixels);
                for (std::size_t i = 0; i < pixels; ++i)
                    config.region[i] = (planes[0][i] | planes[1][i] | planes[2][i]) != 0;
            }
        }
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "zemb: %s: cannot hold the region image: out of memory\n", path);
        return false;
    }
    // A frame cut short keeps the samples it had; a region has none to keep.
    if (read.fault == media::Fault::short_raster) {
        std::fprintf(stderr, "zemb: %s: the region image is cut short: %llu of %llu bytes missing\n",
                     path, static_cast<unsigned long long>(read.missing_bytes),
                     static_cast<unsigned long long>(read.raster_bytes));
        return false;
    }
    if (read.fault != media::Fault::none) {
        std::fprintf(stderr, "zemb: %s: %s\n", path, media::describe(read).c_str());
        return false;
    }
    if (std::find(config.region.begin(), config.region.end(), 1) == config.region.end()) {
        std::fprintf(stderr, "zemb: %s: the region is empty: every pixel is 0\n", path);
        return false;
    }
    config.region_width = width;
    config.region_height = height;
    return true;
}

// The region must be the frames' size.
bool accept_region_size(const RunConfig& config)
{
    if (config.region_path.empty() ||
        (config.region_width == config.width && config.region_height == config.height))
        return true;
    std::fprintf(stderr, "zemb: %s: the region is %d x %d pixels, the frames %d x %d\n",
                 config.region_path.c_str(), config.region_width, config.region_height,
                 config.width, config.height);
    return false;
}

// Makes the output folder and opens the frames, which set the run's size;
// says why not and returns false.
bool accept_first_frame(RunConfig& config, const char* name, media::SourceKind kind,
                        const media::FramePattern& pattern)
{
    RunFault fault = prepare_outputs(config);
    if (fault.ok()) {
        // Decoders allocate as they open a file: they refuse an image larger
        // than the run could hold before they do.
        const std::uint64_t pixel_cap = memory_limit(0).bytes / run_bytes_per_pixel(config);
        fault = open_frames(config, kind, name, pattern, pixel_cap);
        if (!fault.ok())
            remove_made_folders(config);
    }
    print_fault(fault);
    return fault.ok();
}

}  // namespace

StartUp configure_run(int& argc, char** argv, RunConfig& config)
{
    if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0))
        return StartUp::help;
    if (argc < 4)
        return StartUp::usage;
    if (refuse_expanded_wildcard(argc, argv))
        return StartUp::command_line;

    RunParameters& p = config.params;
    split_sequence_name(argv[1], config.directory, config.base);
    p.first_frame = parse_frame_number(argv[2]);
    p.to_end = std::strcmp(argv[3], end_word) == 0;
    p.last_frame = p.to_end ? INT_MAX : parse_frame_number(argv[3]);

    const char* faulty = nullptr;
    const char* typed = nullptr;
    int threads = config.threads;
    const char* output_folder = nullptr;
    const char* mask_pattern = nullptr;
    LiveSwitches live;
    const char* report_path = nullptr;
    const std::vector<char*> before(argv, argv + argc);
    SwitchTable known;
    ModelSwitches model;
    SwitchFault fault = read_switches(argc, argv, p, threads, output_folder, mask_pattern, config,
                                      live, report_path, model, faulty, typed, known);
    if (fault != SwitchFault::none) {
        print_switch_fault(fault, faulty, typed);
        return StartUp::command_line;
    }
    if (const StartUp model_start = accept_model_switches(config, model);
        model_start != StartUp::run)
        return model_start;
    warn_frame_number("first frame", before[2], p.first_frame);
    if (!p.to_end)
        warn_frame_number("last frame", before[3], p.last_frame);
    warn_unread_arguments(before, argc, argv, known);
    if (!accept_values(config, threads, output_folder, mask_pattern) ||
        !take_live_switches(live, config))
        return StartUp::command_line;
    if (report_path != nullptr && *report_path == '\0') {
        std::fprintf(stderr, "zemb: --report needs a file name\n");
        return StartUp::command_line;
    }
    if (report_path != nullptr)
        config.report_path = report_path;
    // The name as it stood before the switch reads, which may have moved it.
    const char* name = before[1];
    media::SourceKind kind = media::SourceKind::ppm_frames;
    media::FramePattern pattern;
    if (!choose_route(config, name, kind, pattern))
        return StartUp::command_line;
    if (const StartUp mistake = recognise_name(config, name, kind); mistake != StartUp::run)
        return mistake;
    if (!config.region_path.empty() && !read_region(config))
        return StartUp::cannot_start;
    if (!accept_first_frame(config, name, kind, pattern) || !accept_model_size(config))
        return StartUp::cannot_start;
    if (!accept_region_size(config)) {
        remove_made_folders(config);
        return StartUp::cannot_start;
    }
    // A piece of a split run may well end, or start, within calibration.
    if (!p.to_end && !p.piece && !config.loaded)
        warn_range(p);
    return StartUp::run;
}

void print_fault(const RunFault& fault)
{
    if (fault.ok())
        return;
    const std::string announced = announce_path(fault);
    if (!announced.empty()) {
        std::printf("Errore apertura file %s\n", announced.c_str());
        std::fflush(stdout);
    }
    std::fprintf(stderr, "%s\n", message(fault).c_str());
}

void print_usage()
{
    std::printf("ZEMB: self-organising background subtraction for video\n");
    std::printf("Every pixel keeps an n x n self-organising map of colours in HSV-cone\n");
    std::printf("coordinates: the first frame initialises the maps, the next K-1 frames\n");
    std::printf("train them, and every later frame is classified against them into a\n");
    std::printf("foreground mask (optionally with a shadow test), cleaned by a 3x3\n");
    std::printf("filter and written out. Input frames are PPM files <SeqName>.<number>.ppm,\n");
    std::printf("a pattern such as in%%06d.jpg, or a video file; outputs go here or to -o.\n");
    std::printf("\n");
    std::printf("Usage:\n");
    std::printf("  ZEMB <SeqName> <#FirstFrame> <#LastFrame> [Parameters]\n\n");
    std::printf("<SeqName>:     sequence name (complete path)\n");
    std::printf("<#FirstFrame>: number of first sequence frame\n");
    std::printf("<#LastFrame>:  number of last sequence frame\n");
    std::printf("[parameters]:  optional, including:\n");
    std::printf("  -n #:  (square root of) number of weight vectors for each pixel. Default 3\n");
    std::printf("  -K #:\t Number of initial frames for calibration. Default 200\n");
    std::printf("  -e1 #: Distance threshold for calibration phase (eqn. (2)). Default 0.1\n");
    std::printf("  -e2 #: Distance threshold for online phase (eqn. (2)). Default 0.03\n");
    std::printf("  -c1 #: Learning rate c1 for calibration phase (eqn. (4)). Default 1.0\n");
    std::printf("  -c2 #: Learning rate c2 for online phase (eqn. (4)). Default 0.05\n");
    std::printf("  -g #:\t Value for gamma in eqn. (5). Default 0.7\n");
    std::printf("  -b #:\t Value for beta in eqn. (5). Default 1.0\n");
    std::printf("  -tS #: Value for tau_S in eqn. (5). Default 0.1\n");
    std::printf("  -tH #: Value for tau_H in eqn. (5). Default 10.0\n");
    std::printf("  -s:    To apply shadow removal. Default: no shadow removal\n");
    std::printf("  -m:    To save background model images. Default: do not save\n");
    std::printf("  -l:    To save just last detection mask. Default: save all\n");
    std::printf("  -j #:    Worker threads for segmentation (same result for any number). Default 1\n");
    std::printf("  -o DIR:  Folder for masks and model images (made if missing). Default: current\n");
    std::printf("  -O PAT:  Mask file name, one %%d for the frame number, .pgm or .png. Default: "
                "<base>Mask.%%d.pgm\n");
    std::printf("  -G #:    Frames a pixel stays foreground before it is learnt (ghosts fade). "
                "Default 0: never\n");
    std::printf("  --relearn #: Foreground share of a frame (0-1) that relearns the scene. "
                "Default 0: never\n");
    std::printf("  --estimate-memory: print the bytes the run would hold, and stop\n");
    std::printf("  -O NAME.mkv: all masks as one lossless video (.mkv, .mp4, .avi, .nut)\n");
    std::printf("  --overlay FILE: the input with the foreground tinted, as a video\n");
    std::printf("  --stats FILE: per frame: number, seconds, foreground pixels, fraction (CSV)\n");
    std::printf("  --stall S: a stream, pipe or camera that sends nothing for S seconds ends. "
                "Default 10\n");
    std::printf("  --reconnect N: attempts to reach a network stream again. Default 3\n");
    std::printf("  --save-model FILE: save the model at the end (and at a stop) to resume from\n");
    std::printf("  --load-model FILE: start from a saved model instead of calibrating anew\n");
    std::printf("  --checkpoint N:    also save it every N frames\n");
    std::printf("  --freeze-after F:  frames from number F on leave the model unchanged\n");
    std::printf("  --roi FILE:  image of the frame's size; only its nonzero pixels are segmented\n");
    std::printf("  <#LastFrame> end: until the input ends (a video's last frame, the first "
                "missing file)\n");
    std::printf("  --report FILE: keep the run's progress and account in FILE (JSON)\n");
}

void print_help()
{
    print_usage();
    std::printf("  --no-wait: do not wait for a key at the end of the run\n");
    std::printf("  -h, --help: this text\n");
    std::printf("\n");
    std::printf("Examples:\n");
    std::printf("  a video; frames 1..200 calibrate, masks for 201..900 go to masks/:\n");
    std::printf("    zemb street.mp4 1 900 -o masks\n");
    std::printf("  numbered images (quote the pattern, so that the shell leaves it alone):\n");
    std::printf("    zemb 'frames/img_%%04d.png' 1 500 -K 100\n");
    std::printf("  a benchmark video's layout, input/in000001.jpg ... to results/bin000001.png ...:\n");
    std::printf("    zemb 'highway/input/in%%06d.jpg' 1 1700 -o highway/results -O bin%%06d.png\n");
    std::printf("  PPM frames walk.1.ppm .. walk.250.ppm, from a script or into a pipe:\n");
    std::printf("    zemb walk 1 250 -K 50 --no-wait | tail -3\n");
    std::printf("  from Python, frame by frame: import zemb; zemb.Subtractor(...) (see the README)\n");
    std::printf("\n");
    std::printf("The README (README.md beside the sources) says more; docs/ has the reference.\n");
}

bool asks_no_wait(int argc, char* const* argv)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--no-wait") == 0)
            return true;
    return false;
}

void print_settings_echo(const RunConfig& config)
{
    const RunParameters& p = config.params;
    std::printf("ZEMB on sequence %s%s\n\n\n", config.directory.c_str(), config.base.c_str());
    // 64-bit so that an extreme frame range prints its true count. Up to the
    // end, the count is known only when the input ends: the driver prints it then.
    if (p.to_end)
        std::printf("No. of images =         up to the end (from %d)\n", p.first_frame);
    else
        std::printf("No. of images =         %lld (from %d to %d)\n",
                    static_cast<long long>(p.last_frame) - p.first_frame + 1, p.first_frame,
                    p.last_frame);
    std::printf("Image size =            %d x %d\n", config.width, config.height);
    std::printf("Frames for calibration: K=%d\n", p.K);
    std::printf("Neighborhood size:      n=%d (%d weight vectors per pixel)\n", p.n, p.n * p.n);
    std::printf("Distance thresholds:    e1=%.4f (calibration), e2=%.4f (online)\n",
                static_cast<double>(p.e1), static_cast<double>(p.e2));
    std::printf("Learning rates:         c1=%.4f (calibration), c2=%.4f (online)\n",
                static_cast<double>(p.c1), static_cast<double>(p.c2));
    std::printf("Save all masks (0/1):   %d\n", p.last_mask_only ? 0 : 1);
    std::printf("Save models (0/1):      %d\n", p.save_models ? 1 : 0);
    std::printf("Shadow removal (0/1):   %d\n", p.shadow.enabled ? 1 : 0);
    if (p.shadow.enabled)
        std::printf("  gamma = %.4f, beta = %.4f, Th_S = %.4f, Th_H = %.4f\n",
                    static_cast<double>(p.shadow.gamma), static_cast<double>(p.shadow.beta),
                    static_cast<double>(p.shadow.tau_S), static_cast<double>(p.shadow.tau_H));
    if (p.ghost_frames > 0)
        std::printf("Ghosts learnt after:    %d frames of foreground\n", p.ghost_frames);
    if (p.relearn_fraction > 0.0f)
        std::printf("Relearn the scene:      above %.4f of a frame foreground\n",
                    static_cast<double>(p.relearn_fraction));
    const int bands = threads_for_rows(config.height, config.threads);
    if (bands > 1)
        std::printf("Worker threads:         %d\n", bands);
    if (!config.output_folder.empty())
        std::printf("Output folder:          %s\n", config.output_folder.c_str());
    if (!config.mask_pattern.empty())
        std::printf("Output is in file(s):   %s\n",
                    output_path(config.output_folder, config.mask_pattern).c_str());
    else
        std::printf("Output is in file(s):   %sMask\n", config.output_base.c_str());
    if (!config.overlay_video.empty())
        std::printf("Overlay video:          %s\n", config.overlay_video.c_str());
    if (!config.stats_path.empty())
        std::printf("Figures per frame:      %s\n", config.stats_path.c_str());
    if (config.loaded) {
        std::printf("Model loaded from:      %s (%lld frames taken, the last numbered %lld)\n",
                    config.load_model.c_str(), config.loaded->frames, config.loaded->last_frame);
        if (!config.from_model_file.empty())
            std::printf("From the model file:    %s\n", config.from_model_file.c_str());
    }
    if (!config.save_model.empty()) {
        std::printf("Model saved to:         %s", config.save_model.c_str());
        if (config.checkpoint > 0)
            std::printf(" (every %d frames, and at the end)", config.checkpoint);
        std::printf("\n");
    }
    if (config.freeze_after)
        std::printf("Model frozen from:      frame %d\n", *config.freeze_after);
    if (!config.region_path.empty())
        std::printf("Region of interest:     %s (%zu of %zu pixels)\n",
                    config.region_path.c_str(),
                    static_cast<std::size_t>(
                        std::count(config.region.begin(), config.region.end(), 1)),
                    config.pixels);
}

}  // namespace zemb
