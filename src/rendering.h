// Point rendering on the GPU: the records every render operation exchanges (Projection, Points,
// RenderBuffer), their factories, and the host side of the splat renderer (points and depth maps
// into a view, depth and normal maps from points, visibility queries, texture warping).
//
// Rendered images are stored mirrored: a fragment at pixel (x, y) of a projection lands in element
// (width - 1 - x, height - 1 - y), so renderings line up with the cameras' own images.
#pragma once

#include <cuda_runtime.h>

#include <vector>

#include "camera.h"
#include "cmatrix/CMatrix.h"
#include "particles.h"
#include "yv/tools/array.h"

// Pinhole projection into a width x height image. X' = R X + t (R row by row); a point is drawn
// only when near < X'.z < far. cx, cy follow the cameras' mirrored principal point.
struct Projection {
  unsigned int width;
  unsigned int height;
  float fx;
  float fy;
  float cx;
  float cy;
  float R[9];
  float t[3];
  float near;
  float far;
};

// A particle set on the GPU. positions and normals are (n, 3): element (i, k) is coordinate k of
// point i, so each coordinate forms one row.
struct Points {
  yv::Array<float, 2> positions;  // effective positions
  yv::Array<float, 2> normals;    // from the set's normals vector
  yv::Array<uchar4, 1> colors;
  yv::Array<float, 1> sizes;  // footprint sizes in world units
};

// The images of one rendering, all W x H (in the mirrored layout).
struct RenderBuffer {
  yv::Array<uchar4, 2> image;      // shaded colour
  yv::Array<float, 2> depth;       // nearest camera-frame depth, FLT_MAX where nothing was drawn
  yv::Array<float, 3> color_sum;   // (W, H, 4) weighted sums of the colour bytes
  yv::Array<float, 3> normal_sum;  // (W, H, 3) weighted sums of camera-frame normals
  yv::Array<float, 2> weight_sum;  // sums of the splat weights
};

// ---- records ------------------------------------------------------------------------------------

// GPU copy of a particle set (effective positions, the normals vector, colours, sizes). The three
// vectors have equal length; an empty set throws. The caller releases the four arrays.
Points createPoints(const std::vector<Particle>& particles, const std::vector<float>& offsets,
                    const std::vector<float3>& normals);
// Allocates (does not clear) the five pitched device arrays of a width x height buffer.
RenderBuffer createRenderBuffer(int width, int height);
// Releases every array of a point set / render buffer (host or device memory alike).
void releasePoints(Points& points);
void releaseRenderBuffer(RenderBuffer& buffer);

// image := color, depth := depth, the three sums := 0.
void clearRenderBuffer(RenderBuffer& buffer, uchar4 color, float depth);
// The clearing every render operation starts with: depth FLT_MAX.
void clear_render_buffer_arrays(RenderBuffer& buffer, uchar4 color);

// The projection of a camera into a W x H image: intrinsics scaled by W / width and H / height,
// the camera's rotation row by row and its translation.
Projection camera_projection(const Camera& camera, unsigned int W, unsigned int H, float near,
                             float far);

// ---- point splatting ----------------------------------------------------------------------------

// Clears the buffer and draws the points as oriented disks of radius size * radius_scale:
// nearest depth, Gaussian-weighted colour and normal sums of the fragments within a point's own
// size of that depth, and their shaded mean colour. depth_tolerance is not used by the passes.
void render_points(RenderBuffer& buffer, Projection projection, const Points& points,
                   float depth_tolerance, float radius_scale);
// The same into a camera's view, at the size of the buffer's image.
void render_points(RenderBuffer& buffer, const Points& points, const Camera& camera,
                   float depth_tolerance, float near, float far, float radius_scale);

// ---- depth maps ---------------------------------------------------------------------------------

// Renders a source camera's depth map and colour image (pixels as disks facing the source camera)
// through `projection`, which maps the source camera's frame into the target view.
void render_depthmap(RenderBuffer& buffer, float inv_fx, float inv_fy, float cx, float cy,
                     Projection projection, const yv::Array<float, 2>& depthmap,
                     const yv::Array<uchar4, 2>& image, float radius_scale);
// The same between two cameras, at the size of the buffer's image.
void render_depthmap(RenderBuffer& buffer, const yv::Array<float, 2>& depthmap,
                     const yv::Array<uchar4, 2>& image, const Camera& source, const Camera& target,
                     float near, float far, float radius_scale);

// Device level: depth := nearest disk depth (FLT_MAX elsewhere), normals := weighted sums of the
// camera-frame normals of the fragments near that depth.
void _compute_depthmap_and_normals_from_points(yv::Array<float, 2>& depth,
                                               yv::Array<float, 3>& normals,
                                               Projection projection, const Points& points,
                                               float depth_tolerance, float radius_scale);
// Host level, at the camera's own size: the depth image (FLT_MAX where no disk lies) and unit
// camera-frame normals; pixels without normal sums get the direction from their ray towards the
// camera centre.
void compute_depthmap_and_normals_from_points(CMatrix<float>& depth, CMatrix<float3>& normals,
                                              const Points& points, const Camera& camera,
                                              float depth_tolerance, float near, float far,
                                              float radius_scale);

// ---- visibility queries -------------------------------------------------------------------------

// Flags (1/0) of the points that reach at least one pixel within their own size of the visible
// surface. Leaves the points' depth buffer in `buffer`. The caller releases the returned array.
yv::Array<int, 1> contributing_points(RenderBuffer& buffer, Projection projection,
                                      const Points& points, float depth_tolerance,
                                      float radius_scale);
std::vector<int> contributing_points(RenderBuffer& buffer, const Points& points,
                                     const Camera& camera, float depth_tolerance, float near,
                                     float far, float radius_scale);

// Copies an array into the existing storage of a vector of the same length.
template <class T>
void vectorCopy(std::vector<T>& destination, yv::Array<T, 1> source);

// Per pixel the smallest values(i) + size(i) of the visible points covering it, FLT_MAX elsewhere.
void compute_min_camdistance(yv::Array<float, 2>& result, Projection projection,
                             const Points& points, const yv::Array<float, 1>& values,
                             float depth_tolerance, float radius_scale);

// ---- texture warping ----------------------------------------------------------------------------

// Warps another view's colour image onto the pixels of a reference depth map (depths shifted by
// depth_offset): alpha 255 where a colour was found, (0, 200, 0, 0) where the other view's depth
// occludes the point by more than depth_tolerance, (0, 0, 0, 0) elsewhere. `projection` maps the
// reference camera frame into the other view and carries that view's intrinsics and size.
void project_texture_on_depthmap(yv::Array<uchar4, 2>& result, float inv_fx, float inv_fy,
                                 float cx, float cy, Projection projection,
                                 const yv::Array<float, 2>& depthmap,
                                 const yv::Array<float, 2>& other_depth,
                                 const yv::Array<uchar4, 2>& other_image, float depth_tolerance,
                                 float depth_offset);
