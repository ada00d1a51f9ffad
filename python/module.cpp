// The Python module zemb._zemb: the Subtractor of include/zemb/zemb.h over
// NumPy arrays, and a frame reader over zemb's own decoders.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "media/media.h"
#include "zemb/zemb.h"

namespace py = pybind11;

namespace {

std::string shape_text(const py::array& a)
{
    std::string text = "(";
    for (py::ssize_t k = 0; k < a.ndim(); ++k)
        text += (k > 0 ? ", " : "") + std::to_string(a.shape(k));
    return text + (a.ndim() == 1 ? ",)" : ")");
}

zemb::PixelOrder pixel_order(const std::string& order)
{
    if (order == "rgb")
        return zemb::PixelOrder::rgb;
    if (order == "bgr")
        return zemb::PixelOrder::bgr;
    throw py::value_error("order must be \"rgb\" or \"bgr\", not \"" + order + "\"");
}

zemb::Vectors vectors_named(const std::string& name)
{
    for (zemb::Vectors unit : {zemb::Vectors::best, zemb::Vectors::scalar, zemb::Vectors::avx2,
                               zemb::Vectors::avx512})
        if (name == zemb::vector_unit_name(unit))
            return unit;
    throw py::value_error("vector_unit must be \"best\", \"scalar\", \"avx2\" or \"avx512\", not \"" +
                          name + "\"");
}

const char* phase_name(zemb::Phase phase)
{
    switch (phase) {
    case zemb::Phase::first_frame: return "first_frame";
    case zemb::Phase::calibration: return "calibration";
    case zemb::Phase::online: return "online";
    }
    return "online";
}

// A Subtractor and the copy of a frame whose pixels are not laid out as
// packed bytes in rows (a view with other strides), reused frame after frame.
class PySubtractor {
public:
    PySubtractor(int width, int height, const zemb::Settings& settings, const py::object& region)
        : s_(width, height, settings)
    {
        if (!region.is_none())
            set_region(region);
    }

    // Any HxW array; its nonzero elements are inside.
    void set_region(const py::object& given)
    {
        const py::array region = py::array::ensure(given);
        const int W = s_.width(), H = s_.height();
        if (!region || region.ndim() != 2 || region.shape(0) != H || region.shape(1) != W)
            throw py::value_error("region must be an array of shape (" + std::to_string(H) + ", " +
                                  std::to_string(W) + ")" +
                                  (region ? ", not " + shape_text(region) : std::string()));
        const auto inside = py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>(
            region.attr("__ne__")(0));
        s_.set_region(inside.data());
    }

    py::array_t<std::uint8_t> apply(const py::object& given, const std::string& order_name,
                                    bool learn)
    {
        const zemb::PixelOrder order = pixel_order(order_name);
        if (!py::isinstance<py::array>(given))
            throw py::type_error("frame must be a NumPy array of uint8, not " +
                                 std::string(py::str(given.get_type().attr("__name__"))));
        const auto frame = py::reinterpret_borrow<py::array>(given);
        if (!frame.dtype().is(py::dtype::of<std::uint8_t>()))
            throw py::type_error("frame must be an array of uint8, not " +
                                 std::string(py::str(frame.dtype())));
        const int W = s_.width(), H = s_.height();
        if (frame.ndim() != 3 || frame.shape(0) != H || frame.shape(1) != W || frame.shape(2) != 3)
            throw py::value_error("frame must have shape (" + std::to_string(H) + ", " +
                                  std::to_string(W) + ", 3), not " + shape_text(frame));
        const auto* data = static_cast<const std::uint8_t*>(frame.data());
        std::ptrdiff_t row_stride = frame.strides(0);
        const bool packed_rows = frame.strides(2) == 1 && frame.strides(1) == 3 &&
                                 row_stride >= 3 * static_cast<std::ptrdiff_t>(W);
        py::array_t<std::uint8_t> mask({H, W});
        std::uint8_t* out = mask.mutable_data();
        {
            py::gil_scoped_release unlocked;
            if (!packed_rows) {
                gather(frame, data);
                data = packed_.data();
                row_stride = 3 * static_cast<std::ptrdiff_t>(W);
            }
            s_.apply(data, W, H, row_stride, order, out, learn);
        }
        return mask;
    }

    py::array_t<std::uint8_t> background(const std::string& order_name)
    {
        const zemb::PixelOrder order = pixel_order(order_name);
        py::array_t<std::uint8_t> image({s_.background_height(), s_.background_width(), 3});
        std::uint8_t* out = image.mutable_data();
        {
            py::gil_scoped_release unlocked;
            s_.background(out, order);
        }
        return image;
    }

    // `path`: a str or any os.PathLike.
    void save(const py::object& path) const
    {
        const std::string file = file_name(path);
        py::gil_scoped_release unlocked;
        s_.save(file.c_str());
    }
    void load(const py::object& path)
    {
        const std::string file = file_name(path);
        py::gil_scoped_release unlocked;
        s_.load(file.c_str());
    }

    static std::string file_name(const py::object& path)
    {
        return py::str(py::module_::import("os").attr("fspath")(path)).cast<std::string>();
    }

    const zemb::Subtractor& get() const { return s_; }

private:
    // Packs the frame's pixels by their strides (any sign), with the GIL
    // released: the array is held by the caller.
    void gather(const py::array& frame, const std::uint8_t* data)
    {
        const py::ssize_t H = frame.shape(0), W = frame.shape(1);
        const py::ssize_t s0 = frame.strides(0), s1 = frame.strides(1), s2 = frame.strides(2);
        packed_.resize(std::size_t(H) * std::size_t(W) * 3);
        std::uint8_t* out = packed_.data();
        for (py::ssize_t r = 0; r < H; ++r)
            for (py::ssize_t c = 0; c < W; ++c)
                for (py::ssize_t k = 0; k < 3; ++k)
                    *out++ = data[r * s0 + c * s1 + k * s2];
    }

    zemb::Subtractor s_;
    std::vector<std::uint8_t> packed_;
};

// The frames of a sequence as the program reads them: a pattern (a name
// with %d), a video file, or numbered PPM files <name>.<k>.ppm.
class FrameReader {
public:
    FrameReader(const std::string& name, long long first, long long last)
        : next_(first), last_(last)
    {
        const std::size_t cut = name.find_last_of("/\\") + 1;  // 0 without a separator
        const std::string directory = name.substr(0, cut);
        std::string base = name.substr(cut);
        if (base.empty())
            base = zemb::media::empty_base_fallback;
        const std::string first_ppm = directory + base + "." + std::to_string(first) + ".ppm";
        zemb::media::FramePattern pattern;
        zemb::media::PatternFault fault = zemb::media::PatternFault::none;
        auto kind = zemb::media::choose_source(name, first_ppm.c_str(), pattern, fault);
        if (fault != zemb::media::PatternFault::none)
            throw py::value_error(name + ": " + zemb::media::describe(fault));
        zemb::media::Result opened;
        using zemb::media::no_pixel_cap;
        if (kind == zemb::media::SourceKind::video) {
            source_ = zemb::media::open_video(name, first, no_pixel_cap, opened);
            if (opened.fault == zemb::media::Fault::not_video)
                kind = zemb::media::SourceKind::ppm_frames;
        }
        if (kind == zemb::media::SourceKind::frame_pattern)
            source_ = zemb::media::open_frame_pattern(pattern, first, no_pixel_cap, opened);
        if (kind == zemb::media::SourceKind::ppm_frames)
            source_ = zemb::media::open_ppm_frames(directory, base, first, no_pixel_cap, opened);
        if (!source_)
            fail(opened);
        frame_ = zemb::alloc_byte_planes(zemb::plane_count, std::size_t(source_->rows()) *
                                                                std::size_t(source_->cols()));
    }

    py::array_t<std::uint8_t> next()
    {
        if (last_ >= 0 && next_ > last_)
            throw py::stop_iteration();
        zemb::media::Result read;
        {
            py::gil_scoped_release unlocked;
            read = source_->read(next_, frame_);
        }
        if (!read.frame_read()) {
            // The sequence ends at the first frame that is not there.
            if (read.fault == zemb::media::Fault::past_end ||
                (read.fault == zemb::media::Fault::cannot_open && read.error == ENOENT))
                throw py::stop_iteration();
            fail(read);
        }
        ++next_;
        const int H = source_->rows(), W = source_->cols();
        py::array_t<std::uint8_t> image({H, W, 3});
        std::uint8_t* out = image.mutable_data();
        const std::size_t count = std::size_t(H) * std::size_t(W);
        for (std::size_t i = 0; i < count; ++i, out += 3) {
            out[0] = frame_[0][i];
            out[1] = frame_[1][i];
            out[2] = frame_[2][i];
        }
        return image;
    }

    int width() const { return source_->cols(); }
    int height() const { return source_->rows(); }

private:
    [[noreturn]] static void fail(const zemb::media::Result& result)
    {
        const std::string text = zemb::media::describe(result);
        const std::string line = result.path.empty() ? text : result.path + ": " + text;
        if (result.fault == zemb::media::Fault::cannot_open) {
            PyErr_SetObject(PyExc_OSError, py::make_tuple(result.error, line).ptr());
            throw py::error_already_set();
        }
        throw std::runtime_error(line);
    }

    std::unique_ptr<zemb::media::FrameSource> source_;
    zemb::BytePlanes frame_;
    long long next_, last_;
};

}  // namespace

PYBIND11_MODULE(_zemb, m)
{
    m.doc() = "Foreground masks from video by self-organising background maps";
    // The library's refusals are values a run cannot use.
    py::register_exception<zemb::Error>(m, "Error", PyExc_ValueError);

    const zemb::Settings d;
    py::class_<PySubtractor>(m, "Subtractor")
        .def(py::init([](int width, int height, int n, int K, float e1, float e2, float c1, float c2,
                         bool shadow, float gamma, float beta, float tau_S, float tau_H,
                         int threads, const std::string& vector_unit, int ghost_frames,
                         float relearn, const py::object& region) {
                 zemb::Settings s;
                 s.n = n;
                 s.K = K;
                 s.e1 = e1;
                 s.e2 = e2;
                 s.c1 = c1;
                 s.c2 = c2;
                 s.shadow = shadow;
                 s.gamma = gamma;
                 s.beta = beta;
                 s.tau_S = tau_S;
                 s.tau_H = tau_H;
                 s.threads = threads;
                 s.vector_unit = vectors_named(vector_unit);
                 s.ghost_frames = ghost_frames;
                 s.relearn = relearn;
                 return std::make_unique<PySubtractor>(width, height, s, region);
             }),
             py::arg("width"), py::arg("height"), py::kw_only(), py::arg("n") = d.n,
             py::arg("K") = d.K, py::arg("e1") = d.e1, py::arg("e2") = d.e2, py::arg("c1") = d.c1,
             py::arg("c2") = d.c2, py::arg("shadow") = d.shadow, py::arg("gamma") = d.gamma,
             py::arg("beta") = d.beta, py::arg("tau_S") = d.tau_S, py::arg("tau_H") = d.tau_H,
             py::arg("threads") = d.threads, py::arg("vector_unit") = "best",
             py::arg("ghost_frames") = d.ghost_frames, py::arg("relearn") = d.relearn,
             py::arg("region") = py::none(),
             "Frames of width x height pixels; keywords as the zemb program's switches. "
             "region: an HxW array whose nonzero pixels alone are segmented (--roi).")
        .def("apply", &PySubtractor::apply, py::arg("frame"), py::arg("order") = "rgb",
             py::arg("learn") = true,
             "Takes an HxWx3 uint8 frame; returns its HxW mask (255 foreground, 0 background; "
             "all 0 until the online phase). learn=False leaves the model as it stands.")
        .def("save", &PySubtractor::save, py::arg("path"),
             "Saves the state to resume from: the zemb program's --save-model file.")
        .def("load", &PySubtractor::load, py::arg("path"),
             "Goes on from a saved state (--load-model): same width, height and n; the file's "
             "K, thresholds, rates and shadow settings.")
        .def("background", &PySubtractor::background, py::arg("order") = "rgb",
             "The model image (n*H x n*W x 3), as the program's -m writes it.")
        .def_property_readonly("width", [](const PySubtractor& p) { return p.get().width(); })
        .def_property_readonly("height", [](const PySubtractor& p) { return p.get().height(); })
        .def_property_readonly("n", [](const PySubtractor& p) { return p.get().settings().n; })
        .def_property_readonly("K", [](const PySubtractor& p) { return p.get().settings().K; })
        .def_property_readonly("e1", [](const PySubtractor& p) { return p.get().settings().e1; })
        .def_property_readonly("e2", [](const PySubtractor& p) { return p.get().settings().e2; })
        .def_property_readonly("c1", [](const PySubtractor& p) { return p.get().settings().c1; })
        .def_property_readonly("c2", [](const PySubtractor& p) { return p.get().settings().c2; })
        .def_property_readonly("shadow",
                               [](const PySubtractor& p) { return p.get().settings().shadow; })
        .def_property_readonly("gamma",
                               [](const PySubtractor& p) { return p.get().settings().gamma; })
        .def_property_readonly("beta", [](const PySubtractor& p) { return p.get().settings().beta; })
        .def_property_readonly("tau_S",
                               [](const PySubtractor& p) { return p.get().settings().tau_S; })
        .def_property_readonly("tau_H",
                               [](const PySubtractor& p) { return p.get().settings().tau_H; })
        .def_property_readonly("threads", [](const PySubtractor& p) { return p.get().threads(); })
        .def_property_readonly(
            "ghost_frames", [](const PySubtractor& p) { return p.get().settings().ghost_frames; })
        .def_property_readonly("relearn",
                               [](const PySubtractor& p) { return p.get().settings().relearn; })
        .def_property_readonly("has_region",
                               [](const PySubtractor& p) { return p.get().has_region(); })
        .def_property_readonly("relearned",
                               [](const PySubtractor& p) { return p.get().relearned(); })
        .def_property_readonly(
            "vector_unit",
            [](const PySubtractor& p) { return zemb::vector_unit_name(p.get().vector_unit()); })
        .def_property_readonly("phase",
                               [](const PySubtractor& p) { return phase_name(p.get().phase()); })
        .def_property_readonly("frames", [](const PySubtractor& p) { return p.get().frames(); });

    py::class_<FrameReader>(m, "FrameReader")
        .def("__iter__", [](FrameReader& r) -> FrameReader& { return r; })
        .def("__next__", &FrameReader::next)
        .def_property_readonly("width", &FrameReader::width)
        .def_property_readonly("height", &FrameReader::height);
    m.def(
        "frames",
        [](const std::string& name, long long first, long long last) {
            return FrameReader(name, first, last);
        },
        py::arg("name"), py::arg("first") = 1, py::arg("last") = -1,
        "Yields the frames of a video, a pattern such as in%06d.jpg, or PPM files "
        "<name>.<k>.ppm, from frame `first` (videos count from 1) to `last` or the end, "
        "as HxWx3 uint8 RGB arrays: the frames the zemb program reads.");
}
