"""Writes the PCD files of a folder as PointCloud2 messages of one topic in a new bag.

    pcd_to_bag.py PCD_DIR BAG [--topic T] [--frame F]

BAG is written as ROS 1 when it ends in .bag, else as a ROS 2 bag folder (sqlite3). Each message's
time is the nanoseconds that end its file's name, as bag_to_pcd.py writes them
(lidar_front_1700000000123456789.pcd); files are taken in that order."""

import argparse
from pathlib import Path

import numpy as np
from rosbags.rosbag1 import Writer as Ros1Writer
from rosbags.rosbag2 import Writer as Ros2Writer
from rosbags.typesys import Stores, get_typestore

import tessarel

POINTCLOUD2 = "sensor_msgs/msg/PointCloud2"


def timestamp(path: Path) -> int:
    digits = path.stem.rpartition("_")[2]
    if not digits.isdigit():
        raise SystemExit(f"{path.name}: the name does not end in _NANOSECONDS")
    return int(digits)


def message(typestore, path: Path, stamp: int, frame: str, ros1: bool):
    """The PointCloud2 of a PCD file, stamped `stamp` nanoseconds, as `typestore` builds it."""
    types = typestore.types
    header = {"stamp": types["builtin_interfaces/msg/Time"](sec=stamp // 10**9, nanosec=stamp % 10**9)}
    if ros1:
        header["seq"] = 0
    points, fields = tessarel.load_pcd(path)
    attributes = tessarel.to_pointcloud2(points, fields, height=tessarel.load_pcd_header(path)["height"])
    point_fields = [
        types["sensor_msgs/msg/PointField"](name=name, offset=offset, datatype=datatype, count=count)
        for name, offset, datatype, count in attributes["fields"]
    ]
    return types[POINTCLOUD2](
        **{**attributes, "fields": point_fields, "data": np.frombuffer(attributes["data"], np.uint8)},
        header=types["std_msgs/msg/Header"](**header, frame_id=frame),
    )


def convert(pcd_dir: Path, bag: Path, topic: str, frame: str) -> int:
    files = sorted(pcd_dir.glob("*.pcd"), key=timestamp)
    if not files:
        raise SystemExit(f"{pcd_dir}: no .pcd files")
    ros1 = bag.suffix == ".bag"
    typestore = get_typestore(Stores.ROS1_NOETIC if ros1 else Stores.ROS2_HUMBLE)
    serialize = typestore.serialize_ros1 if ros1 else typestore.serialize_cdr
    with Ros1Writer(bag) if ros1 else Ros2Writer(bag, version=9) as writer:
        connection = writer.add_connection(topic, POINTCLOUD2, typestore=typestore)
        for path in files:
            stamp = timestamp(path)
            writer.write(connection, stamp, serialize(message(typestore, path, stamp, frame, ros1), POINTCLOUD2))
    return len(files)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("pcd_dir", type=Path)
    parser.add_argument("bag", type=Path)
    parser.add_argument("--topic", default="/points", help="the messages' topic (default /points)")
    parser.add_argument("--frame", default="map", help="their header's frame_id (default map)")
    args = parser.parse_args()
    print(f"wrote {convert(args.pcd_dir, args.bag, args.topic, args.frame)} messages to {args.bag}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
