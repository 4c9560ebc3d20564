// A check of an image's size that the file readers make as soon as the file's header gives the
// size, before any pixel is allocated or decoded. It refuses the image by throwing; the reader
// then leaves its image as it was.
#pragma once

#include <functional>

using ImageSizeCheck = std::function<void(int width, int height)>;
