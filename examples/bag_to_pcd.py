"""Writes every PointCloud2 message of a ROS 1 or ROS 2 bag as a PCD file, keeping every field and
the organisation (width x height).

    bag_to_pcd.py BAG OUTDIR [--topic T]

BAG is a ROS 1 .bag file or a ROS 2 bag folder (sqlite3 or mcap). Each file is named for its topic
and the time the bag logged the message, in nanoseconds: /lidar/front at 1700000000123456789 gives
lidar_front_1700000000123456789.pcd, which pcd_to_bag.py reads back."""

import argparse
from pathlib import Path

from rosbags.highlevel import AnyReader
from rosbags.typesys import Stores, get_typestore

import tessarel

POINTCLOUD2 = "sensor_msgs/msg/PointCloud2"


def file_name(topic: str, timestamp: int) -> str:
    return f"{topic.strip('/').replace('/', '_') or 'points'}_{timestamp}.pcd"


def convert(bag: Path, out_dir: Path, topic: str | None) -> int:
    out_dir.mkdir(parents=True, exist_ok=True)
    written = 0
    # Bags that carry no message definitions are read with ROS 2 Humble's.
    with AnyReader([bag], default_typestore=get_typestore(Stores.ROS2_HUMBLE)) as reader:
        connections = [c for c in reader.connections if c.msgtype == POINTCLOUD2 and topic in (None, c.topic)]
        if not connections:
            raise SystemExit(f"{bag}: no PointCloud2 messages" + (f" on {topic}" if topic else ""))
        for connection, timestamp, raw in reader.messages(connections=connections):
            message = reader.deserialize(raw, connection.msgtype)
            points, fields = tessarel.from_pointcloud2(message)
            path = out_dir / file_name(connection.topic, timestamp)
            tessarel.save_pcd(path, points, fields, width=message.width, height=message.height)
            written += 1
    return written


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("bag", type=Path)
    parser.add_argument("out_dir", type=Path)
    parser.add_argument("--topic", help="only this topic (default: every PointCloud2 topic)")
    args = parser.parse_args()
    print(f"wrote {convert(args.bag, args.out_dir, args.topic)} files to {args.out_dir}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
