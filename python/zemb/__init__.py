"""ZEMB: foreground masks from video by self-organising background maps.

    import zemb
    for frame in zemb.frames("street.mp4"):
        ...
    subtractor = zemb.Subtractor(width, height)      # the zemb program's defaults
    mask = subtractor.apply(frame)                    # HxW uint8, 255 foreground

Masks and background images are the zemb program's, byte for byte.
"""
from ._zemb import Error, FrameReader, Subtractor, frames

__all__ = ["Error", "FrameReader", "Subtractor", "frames"]
