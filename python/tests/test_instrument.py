"""The Pythonic layer against the virtual instrument, sadc-sim, on a
pseudo-terminal in real time. Skipped where sadc-sim is not built.

sadc-sim's inputs by default: channel k reads the constant 250 * (k + 1)."""
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


def signal(channel):
    return 250.0 * (channel + 1)


@pytest.mark.parametrize("channel", [0, 5])
def test_read_gives_the_channels_signal(inst, channel):
    assert inst.read(channel) == pytest.approx(signal(channel), abs=0.5)
    counts = inst.read(raw=True)
    assert inst.counts_to_value(counts) == pytest.approx(signal(channel), abs=0.5)
    assert inst.checksum_ok()


def test_digital_lines(inst):
    assert 0 <= inst.digital_inputs() <= 255
    inst.set_digital_outputs(0xA5)
    assert inst.read_version() == inst.version


def test_scan_gives_one_row_per_scan(inst):
    data = inst.scan(3)
    assert data.shape == (3, 4)
    # Four conversions from channel 0 on, in channel order, in every scan.
    assert data == pytest.approx(numpy.tile([signal(c) for c in range(4)], (3, 1)), abs=0.5)
    assert inst.checksum_ok()


def test_five_lines_on_a_device_path(sim):
    # The quick start: a device path, no ports folder of one's own.
    with sadclink.Instrument(device=sim.device) as inst:
        assert inst.read(channel=0) == pytest.approx(signal(0), abs=0.5)
