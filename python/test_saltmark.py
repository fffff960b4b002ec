import json
import subprocess

import pytest

import saltmark
from conftest import SOURCE_DIR, tool

EXAMPLES = sorted((SOURCE_DIR / "examples").glob("*.sbd"))


@pytest.mark.parametrize("message", EXAMPLES, ids=lambda p: p.name)
def test_report_and_records_are_the_converters(message):
    convert = tool("SALTMARK_CONVERT")
    report = subprocess.run([convert, str(message)], check=True,
                            capture_output=True).stdout.decode("utf-8")
    document = json.loads(subprocess.run([convert, "--json", str(message)], check=True,
                                         capture_output=True).stdout)
    decoded = saltmark.decode(message.read_bytes())
    assert decoded.report == report
    assert "\r\n" in decoded.report
    assert decoded.records == document["records"] and decoded.records
    assert decoded.outcome == document["outcome"]


def test_image_is_the_camera_records_bytes_or_none(tmp_path):
    station = saltmark.decode((SOURCE_DIR / "examples" / "station.sbd").read_bytes())
    assert station.image.startswith(b"\xff\xd8")  # a JPEG

    jpeg = b"\xff\xd8not quite a picture\xff\xd9"
    (tmp_path / "photo.jpg").write_bytes(jpeg)
    (tmp_path / "empty.jpg").write_bytes(b"")
    for image in ("photo.jpg", "empty.jpg"):
        subprocess.run([tool("SBD_COMPOSE"), "--camera", str(tmp_path / image),
                        "-o", str(tmp_path / "m.sbd")], check=True)
        assert saltmark.decode((tmp_path / "m.sbd").read_bytes()).image == \
            (tmp_path / image).read_bytes()

    assert saltmark.decode(b"").image is None
    assert saltmark.decode(b"\x37").image is None  # packet type only


def test_bad_bytes_are_lines_of_the_report_and_oversized_input_is_refused():
    cut = saltmark.decode((SOURCE_DIR / "examples" / "station.sbd").read_bytes()[:87])
    assert "Stopping decode due to error" in cut.report
    assert cut.outcome["complete"] is False and cut.records[-1]["type"] == "PB200"
    with pytest.raises(ValueError, match="not an SBD message"):
        saltmark.decode(bytes(1024 * 1024 + 1))


def test_decode_takes_any_bytes_like_object_and_files(tmp_path):
    import numpy as np

    path = SOURCE_DIR / "examples" / "station.sbd"
    data = path.read_bytes()
    expected = saltmark.decode(data)
    for given in (bytearray(data), memoryview(data), np.frombuffer(data, dtype=np.uint8),
                  memoryview(b"xx" + data)[2:]):
        assert saltmark.decode(given).report == expected.report
    assert saltmark.decode_file(str(path)).records == expected.records
    with pytest.raises(OSError):
        saltmark.decode_file(str(tmp_path / "missing.sbd"))
    with pytest.raises(TypeError):
        saltmark.decode(np.zeros(4, dtype=np.float64))
    assert saltmark.__version__
