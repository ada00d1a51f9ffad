// Small hand-built models for the model tests, with element access by model
// row and column.
#pragma once

#include <cstddef>
#include <memory>

#include "model/model.h"
#include "support/support.h"

namespace zemb::test {

inline FloatPlanes make_planes(std::size_t length, float fill = 0.0f)
{
    return planes_of<float>(length, fill);
}

struct Point {
    float x, y, z;
};

// A model of n*H rows by n*W columns with element access by (row, column).
struct TestModel {
    int H, W, n;
    FloatPlanes planes;

    TestModel(int rows, int cols, int side, float fill = 0.0f)
        : H(rows), W(cols), n(side),
          planes(make_planes(static_cast<std::size_t>(side) * side * rows * cols, fill))
    {
    }

    Index cols() const { return Index(n) * W; }
    Index index(Index i, Index j) const { return i * cols() + j; }

    void set(Index i, Index j, Point p)
    {
        planes[0][index(i, j)] = p.x;
        planes[1][index(i, j)] = p.y;
        planes[2][index(i, j)] = p.z;
    }
    Point get(Index i, Index j) const
    {
        return {planes[0][index(i, j)], planes[1][index(i, j)], planes[2][index(i, j)]};
    }
    // Every element of pixel (r, c)'s block.
    void set_block(int r, int c, Point p)
    {
        for (Index a = 0; a < n; ++a)
            for (Index b = 0; b < n; ++b)
                set(Index(n) * r + a, Index(n) * c + b, p);
    }
};

// A frame of H x W pixels, row-major.
struct TestFrame {
    int H, W;
    FloatPlanes planes;

    TestFrame(int rows, int cols, float fill = 0.0f)
        : H(rows), W(cols), planes(make_planes(static_cast<std::size_t>(rows) * cols, fill))
    {
    }
    void set(int r, int c, Point p)
    {
        const Index i = Index(r) * W + c;
        planes[0][i] = p.x;
        planes[1][i] = p.y;
        planes[2][i] = p.z;
    }
};

}  // namespace zemb::test
