"""qorcam.stream against a local sender that speaks the stream's message layout."""
import json
import struct
import threading
import unittest

import zmq

from qorcam.stream import SeriesEnd, SeriesStart, StreamError, StreamImage, decode, receive


def image_head(number, width=3, height=2, **extra):
    head = {"type": "image", "series": 1, "number": number, "width": width, "height": height,
            "format": "Mono16", "raw_format": "word", "crop": {"x0": 1, "y0": 1, "x1": width, "y1": height},
            "color_mode": 0}
    head.update(extra)
    return json.dumps(head).encode()


class DecodeTest(unittest.TestCase):
    def test_image_keeps_its_pixels_and_description(self):
        pixels = struct.pack("<6H", 1, 2, 3, 4, 5, 65535)
        image = decode([image_head(7, metadata={"wSize": 69}), pixels])
        self.assertIsInstance(image, StreamImage)
        self.assertEqual((image.series, image.number, image.width, image.height), (1, 7, 3, 2))
        self.assertEqual(image.raw_bytes(), pixels)
        self.assertEqual(image.metadata, {"wSize": 69})
        self.assertIsNone(image.timestamp)
        self.assertEqual(image.bytes_per_pixel, 2)

    def test_series_messages(self):
        start = decode([b'{"type":"header","series":4,"description":{"a":1},"configuration":{}}'])
        self.assertEqual(start, SeriesStart(4, {"a": 1}, {}))
        self.assertEqual(decode([b'{"type":"end","series":4,"sent":9,"dropped":1}']), SeriesEnd(4, 9, 1))

    def test_malformed_messages_raise_stream_errors(self):
        for parts in ([b"not json"], [b'{"type":"image"}'], [image_head(1)], [b'{"type":"other"}'],
                      [b'{"type":"end","series":1}'], [b"[1]"], [image_head(1), bytes(11)]):
            with self.subTest(parts=parts), self.assertRaises(StreamError):
                decode(parts)


class ReceiveTest(unittest.TestCase):
    def setUp(self):
        self.context = zmq.Context()
        self.sender = self.context.socket(zmq.PUSH)
        self.sender.setsockopt(zmq.LINGER, 0)
        port = self.sender.bind_to_random_port("tcp://127.0.0.1")
        self.endpoint = f"tcp://127.0.0.1:{port}"

    def tearDown(self):
        self.sender.close()
        self.context.term()

    def test_yields_a_series_in_order_and_ends_after_the_time_out(self):
        stream = receive(self.endpoint, timeout_s=1.0, context=self.context)
        # The generator connects on its first step; the sender waits (bounded) for it.
        self.sender.setsockopt(zmq.SNDTIMEO, 5000)
        messages = [[b'{"type":"header","series":1}']]
        messages += [[image_head(n), bytes(12)] for n in range(1, 4)]
        messages += [[b'{"type":"end","series":1,"sent":3,"dropped":0}']]
        sending = threading.Thread(target=lambda: [self.sender.send_multipart(m) for m in messages])
        sending.start()
        got = list(stream)
        sending.join()
        self.assertIsInstance(got[0], SeriesStart)
        self.assertEqual([item.number for item in got[1:4]], [1, 2, 3])
        self.assertEqual(got[4], SeriesEnd(1, 3, 0))
        self.assertEqual(len(got), 5)

    def test_unknown_pattern_is_refused(self):
        with self.assertRaises(ValueError):
            next(receive(self.endpoint, pattern="push", context=self.context))


if __name__ == "__main__":
    unittest.main()
