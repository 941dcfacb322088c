"""bag_to_pcd.py and pcd_to_bag.py over real bags that rosbags writes, ROS 1 and ROS 2."""

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from rosbags.highlevel import AnyReader
from rosbags.rosbag1 import Writer as Ros1Writer
from rosbags.rosbag2 import Writer as Ros2Writer
from rosbags.typesys import Stores, get_typestore

import tessarel
from pcd_writer import fields, random_values

ROOT = Path(__file__).parent.parent
POINTCLOUD2 = "sensor_msgs/msg/PointCloud2"
# Two topics at one instant, and an organized cloud of 2 rows.
MESSAGES = [("/lidar/front", 1_700_000_000_123_456_789, 1), ("/lidar/back", 1_700_000_000_123_456_789, 2),
            ("/lidar/front", 1_700_000_001_000_000_001, 2)]  # fmt: skip


def cloud(seed: int):
    table = fields("x y z intensity i:U1 n:F8x3 rgb:U4")
    values = dict(zip((f.name for f in table), random_values(table, 6, seed)))
    return np.column_stack([values.pop(axis) for axis in "xyz"]), values


def write_bag(path: Path, ros1: bool) -> None:
    typestore = get_typestore(Stores.ROS1_NOETIC if ros1 else Stores.ROS2_HUMBLE)
    types = typestore.types
    with Ros1Writer(path) if ros1 else Ros2Writer(path, version=9) as writer:
        connections = {}
        for seed, (topic, stamp, height) in enumerate(MESSAGES):
            if topic not in connections:
                connections[topic] = writer.add_connection(topic, POINTCLOUD2, typestore=typestore)
            attributes = tessarel.to_pointcloud2(*cloud(seed), height=height)
            time = types["builtin_interfaces/msg/Time"](sec=stamp // 10**9, nanosec=stamp % 10**9)
            header = types["std_msgs/msg/Header"](**({"seq": seed} if ros1 else {}), stamp=time, frame_id="lidar")
            point_fields = [types["sensor_msgs/msg/PointField"](*f) for f in attributes["fields"]]
            message = types[POINTCLOUD2](
                **{**attributes, "fields": point_fields, "data": np.frombuffer(attributes["data"], np.uint8)},
                header=header,
            )
            serialize = typestore.serialize_ros1 if ros1 else typestore.serialize_cdr
            writer.write(connections[topic], stamp, serialize(message, POINTCLOUD2))


def read_bag(path: Path) -> list:
    with AnyReader([path], default_typestore=get_typestore(Stores.ROS2_HUMBLE)) as reader:
        return [(c.topic, t, reader.deserialize(raw, c.msgtype)) for c, t, raw in reader.messages()]


def run(*args) -> None:
    done = subprocess.run([sys.executable, *map(str, args)], cwd=ROOT, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr


def assert_same(got, expected):
    assert np.array_equal(got[0], expected[0]) and got[1].keys() == expected[1].keys()
    assert all(np.array_equal(got[1][name], values) for name, values in expected[1].items())


@pytest.mark.parametrize("bag_name", ["clouds.bag", "clouds"], ids=["ROS 1", "ROS 2"])
def test_bag_to_pcd_keeps_every_message_and_pcd_to_bag_gives_them_back(tmp_path, bag_name):
    bag, out = tmp_path / bag_name, tmp_path / "pcd"
    write_bag(bag, ros1=bag_name.endswith(".bag"))
    run("examples/bag_to_pcd.py", bag, out)
    messages = read_bag(bag)
    assert len(list(out.iterdir())) == len(messages) == len(MESSAGES)
    for topic, stamp, message in messages:
        path = out / f"{topic.strip('/').replace('/', '_')}_{stamp}.pcd"
        assert_same(tessarel.load_pcd(path), tessarel.from_pointcloud2(message))
        assert tessarel.load_pcd_header(path)["height"] == message.height
    front = tmp_path / "front"
    front.mkdir()
    for path in out.glob("lidar_front_*.pcd"):
        path.rename(front / path.name)
    again = tmp_path / ("again.bag" if bag_name.endswith(".bag") else "again")
    run("examples/pcd_to_bag.py", front, again, "--topic", "/lidar/front")
    written = [(t, tessarel.from_pointcloud2(m), m.height) for _, t, m in read_bag(again)]
    originals = [(t, tessarel.from_pointcloud2(m), m.height) for topic, t, m in messages if topic == "/lidar/front"]
    assert [(t, h) for t, _, h in written] == [(t, h) for t, _, h in originals]
    for (_, got, _), (_, expected, _) in zip(written, originals):
        assert_same(got, expected)
