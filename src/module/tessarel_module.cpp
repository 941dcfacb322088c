// The tessarel extension module: load_pcd and load_pcd_buffer, iter_pcd for a file read a
// chunk at a time, load_pcd_header for the metadata alone, save_pcd, and the package's version.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>

#include "module/colour_packing.hpp"
#include "module/exception_translation.hpp"
#include "module/load_functions.hpp"
#include "module/pcd_iterator.hpp"
#include "module/pcd_writer.hpp"
#include "module/pointcloud2_reading.hpp"
#include "module/pointcloud2_writing.hpp"
#include "module/save_function.hpp"

namespace py = pybind11;

PYBIND11_MODULE(tessarel, module) {
    module.doc() = "Fast PCD loading (ASCII, binary, binary_compressed)";
    // Compiled in from the package metadata, so that reading it imports nothing.
    module.attr("__version__") = TESSAREL_VERSION;
    tessarel::register_exception_translation();
    module.def("load_pcd", &tessarel::load_pcd, py::arg("filename"), py::arg("fields") = py::none(), py::kw_only(),
               py::arg("mmap") = false,
               R"doc(
        Load a PCD file into NumPy arrays.

        Returns:
            points: np.ndarray of shape (N,3) with x,y,z
            fields: dict of other NumPy arrays with arbitrary names, each of shape
                (N,) or (N, COUNT) with its field's dtype; an x, y or z field that
                is not float32 with COUNT 1 is there too, with its exact values

        fields: an iterable of field names (not a single str). Only those fields,
            and x, y and z for points, are decoded and kept; the dict is the whole
            load's restricted to those names. A name the file lacks raises
            KeyError. In ASCII data, a bad value in a field not named is not read.
        mmap: with a binary file, the arrays are views of a private, copy-on-write
            mapping of the file: the call returns at once whatever the file's
            size, pages are read when touched, and writes never reach the file
            (points is a view when x, y, z are consecutive F 4 fields). The file
            must not be truncated while mapped: that kills the process with
            SIGBUS. Other encodings are read as without mmap.
    )doc");
    module.def("load_pcd_buffer", &tessarel::load_pcd_buffer, py::arg("data"), py::arg("fields") = py::none(),
               R"doc(
        Load a PCD file held in memory into NumPy arrays, as load_pcd does.

        data: bytes, bytearray, memoryview, mmap.mmap, a uint8 NumPy array, or any
            C-contiguous object with the buffer protocol; it is read without a copy
        fields: an iterable of field names to keep, as load_pcd takes it
    )doc");
    tessarel::register_pcd_iterator(module);
    module.def("save_pcd", &tessarel::save_pcd, py::arg("filename"), py::arg("points"), py::arg("fields") = py::none(),
               py::kw_only(), py::arg("encoding") = "binary", py::arg("width") = py::none(),
               py::arg("height") = py::none(), py::arg("viewpoint") = py::none(),
               R"doc(
        Save points and fields as a PCD file, exactly.

        points: array of shape (N,3), float32 (written as F 4) or float64 (F 8)
        fields: dict, or any mapping, of name -> array of shape (N,) or
            (N, COUNT), float32, float64 or any integer of 8 to 64 bits; x, y
            or z here takes the place of that column of points, in its own dtype
        encoding: "binary", "ascii" or "binary_compressed"
        width, height: integers, the cloud's organisation (default N x 1)
        viewpoint: 7 real numbers (tx, ty, tz, qw, qx, qy, qz), default
            (0, 0, 0, 1, 0, 0, 0)

        The file is written under a temporary name beside it and put in place
        only when complete: on any error, an existing file is left as it was.
    )doc");
    module.def("load_pcd_header", &tessarel::load_pcd_header, py::arg("filename"),
               R"doc(
        Read the header of a PCD file, without its data.

        Returns a dict:
            version: the VERSION value as written ("" without one)
            fields: list of (name, type letter, size, count)
            width, height: the cloud's organisation; points: the point count
            viewpoint: (tx, ty, tz, qw, qx, qy, qz), the sensor pose
            data: the encoding, lower-cased
    )doc");
    tessarel::register_pcd_writer(module);
    module.def("unpack_rgb", &tessarel::unpack_rgb, py::arg("values"), py::kw_only(), py::arg("alpha") = false,
               R"doc(
        Unpack colours stored as PCL stores them: 0xAARRGGBB in a uint32 or in
        the bits of a float32, such as an rgb or rgba field.

        values: array of shape (N,), float32 or uint32 (int32 too)
        alpha: also return alpha, from the top byte

        Returns (N, 3) uint8 red, green, blue, or (N, 4) with alpha.
    )doc");
    module.def("pack_rgb", &tessarel::pack_rgb, py::arg("colours"), py::arg("dtype") = "float32",
               R"doc(
        Pack colours as PCL stores them, the inverse of unpack_rgb.

        colours: uint8 array of shape (N, 3), red, green, blue, or (N, 4) with
            alpha; without alpha the top byte is 0, so no packed float is a NaN
        dtype: float32 (an rgb field) or uint32 (as rgba fields are)

        Returns an array of shape (N,) of dtype, holding 0xAARRGGBB.
    )doc");
    module.def("from_pointcloud2", &tessarel::from_pointcloud2, py::arg("msg"),
               R"doc(
        Read a ROS PointCloud2 message into NumPy arrays, as load_pcd reads the
        same cloud from a file: (points, fields) with the same dtypes and names.

        msg: any object with PointCloud2's attributes (height, width, fields
            with name, offset, datatype and count, is_bigendian, point_step,
            row_step, data), such as the messages of rosbags, rclpy or rospy;
            data is any buffer: bytes, array.array or a uint8 NumPy array

        Fields are views over data, which they keep alive, when one stride
        reaches their values; big-endian data, and rows with gaps between them,
        are copied. A message whose fields overlap, reach past point_step, or
        have an unknown datatype, or whose data is too short, raises ValueError.
    )doc");
    module.def("to_pointcloud2", &tessarel::to_pointcloud2, py::arg("points"), py::arg("fields") = py::none(),
               py::kw_only(), py::arg("height") = py::none(),
               R"doc(
        Lay out points and fields, as save_pcd takes them, as a ROS PointCloud2
        message: the fields packed in order, little-endian.

        height: the rows of an organized cloud (default 1, or N / height points
            a row)

        Returns a dict of the message's attributes: height, width, fields as
        (name, offset, datatype, count) tuples, is_bigendian, point_step,
        row_step, data as bytes, and is_dense (no NaN in x, y or z). A field of
        64-bit integers, which PointCloud2 cannot type, raises TypeError.
    )doc");
}
