"""The Pythonic layer against the virtual instrument, sadc-sim, on a
pseudo-terminal in real time. Skipped where sadc-sim is not built."""
import pytest

import sadclink

numpy = pytest.importorskip("numpy")


@pytest.fixture(scope="module")
def inst(sim):
    with sadclink.Instrument(sim.port, channels=4, scan_mode=1, scan_interval=0.5) as signed_on:
        yield signed_on


def test_sign_on_reports_version_rate_and_mode(inst):
    assert 0 < inst.version <= 255
    # 100 Hz asked: the filter code 195 gives 19531.25 / 195 Hz.
    assert inst.rate == pytest.approx(19531.25 / 195, rel=1e-6)
    high, mid, low = inst.mode_bytes
    assert (mid & 0x80, mid & 0x10, low) == (0x80, 0x10, 195)


@pytest.mark.parametrize("channel", [0, 5])
def test_read_gives_a_value_on_the_full_scale(inst, channel):
    value = inst.read(channel)
    counts = inst.read(raw=True)
    assert 0.0 <= value < 5000.0
    assert 0 <= counts < 2**24
    assert inst.counts_to_value(counts) == pytest.approx(counts * 0.0002980232)
    assert inst.checksum_ok()


def test_digital_lines(inst):
    assert 0 <= inst.digital_inputs() <= 255
    inst.set_digital_outputs(0xA5)
    assert inst.read_version() == inst.version


def test_scan_gives_one_row_per_scan(inst):
    data = inst.scan(3)
    assert data.shape == (3, 4)
    assert numpy.all((data >= 0.0) & (data < 5000.0))
    assert inst.checksum_ok()


def test_five_lines_on_a_device_path(sim):
    # The quick start: a device path, no ports folder of one's own.
    with sadclink.Instrument(device=sim.device) as inst:
        assert 0.0 <= inst.read(channel=0) < 5000.0
