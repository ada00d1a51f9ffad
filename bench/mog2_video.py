#!/usr/bin/python3
"""Masks of a video as a user of OpenCV would write them: MOG2 (history 200,
no shadows), a 3x3 median, one PNG a frame. The benchmark times it against
zemb on the same clip.

    mog2_video.py VIDEO FIRST LAST OUT_FOLDER THREADS
"""
import os
import sys

import cv2


def main():
    if len(sys.argv) != 6:
        sys.exit(__doc__)
    video, first, last, folder, threads = sys.argv[1:]
    cv2.setNumThreads(int(threads))
    capture = cv2.VideoCapture(video)
    mog2 = cv2.createBackgroundSubtractorMOG2(history=200, detectShadows=False)
    os.makedirs(folder, exist_ok=True)
    for number in range(1, int(last) + 1):
        ok, frame = capture.read()
        if not ok:
            sys.exit(f"{video}: no frame {number}")
        if number >= int(first):
            mask = cv2.medianBlur(mog2.apply(frame), 3)
            cv2.imwrite(os.path.join(folder, f"bin{number:06d}.png"), mask)


if __name__ == "__main__":
    main()
