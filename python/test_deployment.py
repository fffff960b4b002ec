"""saltmark.read_deployment: the example file as dicts, and a faulty file's line in the error."""

import pytest

import saltmark
from conftest import SOURCE_DIR


def test_example_reads_as_dicts_under_the_files_own_names():
    d = saltmark.read_deployment(str(SOURCE_DIR / "examples" / "deployment.yaml"))
    assert d["metadata"]["creator"]["email"] == "buoys@example.org"
    assert d["metadata"]["publisher"]["sector"] == "gov"
    assert d["metadata"]["contributors"] == [{"name": "Field Engineer", "role": "collaborator",
                                              "email": "field@example.org",
                                              "url": "https://example.org/buoys/team"}]
    assert list(d["buoys"]) == ["300434060000010", "300434060000020"]
    north, south = d["buoys"].values()
    assert north["deployment"] == {"start": "2026-05-01T12:00:00Z", "end": "2026-11-01T00:00:00Z"}
    assert north["position"] == {"latitude": 46.25, "longitude": -6.5}
    assert north["instruments"][0] == {"record": "PB200", "make_model": "ultrasonic weather station",
                                       "height": 3.1, "depth": None,
                                       "calibration_date": "2026-03-15T00:00:00Z"}
    assert south["deployment"]["end"] is None and south["wmo_platform_code"] == "62502"
    # The fleet's rules, and the south buoy's own over them.
    assert d["alerts"]["channels"][1] == {"mail": "buoy-ops@example.org"}
    assert d["alerts"]["rules"]["record_absent_hours"] == {"PB200": 3, "Y81000": 6}
    assert north["alerts"]["silent_hours"] == 6 and north["alerts"]["geofence"]["coordinates"]
    assert south["alerts"]["silent_hours"] == 12 and south["alerts"]["geofence"] is None


def test_faults_raise_with_file_and_line(tmp_path):
    path = tmp_path / "d.yaml"
    path.write_text('buoys:\n  "300434060000010":\n    wmo_platform_code: "123"\n')
    with pytest.raises(ValueError, match=r"d\.yaml:3: .*not a WMO platform code"):
        saltmark.read_deployment(str(path))
    with pytest.raises(OSError):
        saltmark.read_deployment(str(tmp_path / "absent.yaml"))
