// A run's frames and outputs at start-up: the frame source opened at the
// first frame, the mask pattern checked, the output folder made.
#pragma once

#include <cstdint>
#include <string>

#include "media/media.h"
#include "run/config.h"
#include "run/fault.h"

namespace zemb {

// Opens the run's frames at the first one by the route choose_source() gave,
// and sets the configuration's frames, size, output base and first frame
// name; a file that no demuxer recognises as a video is read as PPM frames
// after all. `pixel_cap` bounds the images of patterns and videos (PPM frames
// are sized by the run's memory check). The fault when the first frame gives
// the run no size it can use.
RunFault open_frames(RunConfig& config, media::SourceKind kind, const std::string& name,
                     const media::FramePattern& pattern, std::uint64_t pixel_cap);

// Parses the mask pattern `text` (a file name with one %d, ending in .pgm or
// .png) into `names`, the names of the masks inside the output folder
// `folder`. Why `text` is no mask pattern; null when it is one.
const char* parse_mask_pattern(const std::string& folder, const std::string& text,
                               media::FramePattern& names);
// Whether masks named by the pattern are written as PNG.
bool is_png_pattern(const std::string& text);

// Makes the output folder with its parents (noting in the configuration
// the folders it made), checks that a file can be made there when the run
// writes any, and that this build writes the masks asked for; the fault when
// it cannot, with the folders it made removed again.
RunFault prepare_outputs(RunConfig& config);
// Removes the folders prepare_outputs() made, when the run cannot start
// after all; a folder that holds anything stays.
void remove_made_folders(RunConfig& config);

}  // namespace zemb
