"""The example notebook runs from its first cell to its last on the simulated chain, and every
plot it draws is in its outputs."""
import os
import shutil

import nbclient
import nbformat

from conftest import BUILD, HERE, sim_env

NOTEBOOK = os.path.join(HERE, "..", "examples", "experiment.ipynb")


def test_experiment_notebook_runs_and_draws_its_plots(tmp_path):
    nb = nbformat.read(NOTEBOOK, as_version=4)
    env = sim_env()
    env["PYTHONPATH"] = os.path.join(BUILD, "python")
    env["MPLBACKEND"] = "module://matplotlib_inline.backend_inline"
    client = nbclient.NotebookClient(nb, timeout=300, kernel_name="python3",
                                     resources={"metadata": {"path": str(tmp_path)}})
    client.execute(env=env)
    images = [o for c in nb.cells if c.cell_type == "code" for o in c.get("outputs", [])
              if "image/png" in o.get("data", {})]
    assert len(images) == 3
    assert os.path.getsize(tmp_path / "g2.png") > 10000
    # The fitted lifetime is printed and near the simulated 1500 ps.
    printed = "".join(o.get("text", "") for c in nb.cells if c.cell_type == "code"
                      for o in c.get("outputs", []) if o.get("output_type") == "stream")
    tau = float(printed.split("fitted lifetime ")[1].split()[0])
    assert 1300 < tau < 1700
    if os.environ.get("RAVIK_NOTEBOOK_PLOT"):
        shutil.copy(tmp_path / "g2.png", os.environ["RAVIK_NOTEBOOK_PLOT"])
