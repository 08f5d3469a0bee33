"""CPUQVM(comm=...) under a real mpirun on the loopback interface: one launch per rank
count runs every case of support/mpi_cases.py (the split state against the single-process
engine); each test reads its case's outcome on every rank."""
import json
import os
import shutil
import subprocess
import sys

import pytest

pytest.importorskip("mpi4py", reason="mpi4py is not installed")
km = pytest.importorskip("kestrix._mpi", reason="kestrix was built without MPI")

from kestrix.core import CPUQVM, H, QProg  # noqa: E402
from kestrix.noise import NoiseModel  # noqa: E402

MPIRUN = shutil.which("mpirun")
SUPPORT = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support")
CASES = ["random_circuits_of_every_kind", "controls_and_diagonals_on_global_qubits",
         "counts_match_one_process", "mid_circuit_measurements",
         "small_buffers_and_exchange_figures", "bad_sizes_raise_on_every_rank",
         "out_of_memory_raises_on_every_rank", "one_failing_rank_fails_them_all"]
# Loopback only, as root too; ranks that wait yield their core, and run one engine thread
# each (they share two cores).
MPI_ENV = {"OMPI_ALLOW_RUN_AS_ROOT": "1", "OMPI_ALLOW_RUN_AS_ROOT_CONFIRM": "1",
           "OMPI_MCA_btl": "self,tcp", "OMPI_MCA_btl_tcp_if_include": "lo",
           "OMPI_MCA_oob_tcp_if_include": "lo", "OMPI_MCA_mpi_yield_when_idle": "1",
           "KESTRIX_NUM_THREADS": "1"}


@pytest.fixture(scope="module", params=[2, 4], ids=["2 ranks", "4 ranks"])
def outcomes(request):
    if MPIRUN is None:
        pytest.skip("mpirun is not installed")
    command = [MPIRUN, "--oversubscribe", "-np", str(request.param), sys.executable,
               os.path.join(SUPPORT, "mpi_cases.py")]
    done = subprocess.run(command, env=dict(os.environ, **MPI_ENV), capture_output=True,
                          text=True, timeout=180)
    assert done.returncode == 0, done.stdout[-2000:] + done.stderr[-4000:]
    found = json.loads(done.stdout.strip().splitlines()[-1])
    assert sorted(found) == sorted(CASES)
    return found


@pytest.mark.parametrize("case", CASES)
def test_split_run_case(outcomes, case):
    assert outcomes[case] == ["ok"] * len(outcomes[case])


@pytest.mark.parametrize("comm", [object(), 3, "COMM_WORLD"])
def test_anything_but_a_communicator_is_a_type_error(comm):
    with pytest.raises(TypeError, match="mpi4py intracommunicator"):
        CPUQVM(comm=comm).run(QProg(2) << H(0))
    with pytest.raises(TypeError, match="mpi4py intracommunicator"):
        km.run(comm, QProg(2) << H(0))


def test_noise_is_not_distributed():
    with pytest.raises(ValueError, match="not distributed"):
        CPUQVM(comm=object(), noise=NoiseModel())
    with pytest.raises(ValueError, match="not distributed"):
        CPUQVM(comm=object(), method="statevector")
