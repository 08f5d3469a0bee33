"""The algorithms under noise: the quantum-kernel SVC and canonical amplitude estimation
run unchanged inside kestrix.noise.model(...), with depolarising error after every gate,
as its probability grows. At p = 0 each must give its noiseless result; as p grows the
kernel's entries fade towards 1/4 (two fully mixed qubits overlap that much) and the
estimates drift away."""
import numpy as np
from sklearn.datasets import load_iris
from sklearn.model_selection import train_test_split
from sklearn.preprocessing import MinMaxScaler
from sklearn.svm import SVC

import kestrix.noise as kn
from norvalis.Melvo import Melvo
from norvalis.QSVM import QuantumKernel_lumet

from .melvo import SINE_SQUARED_EXACT, sine_squared
from .qsvm import exact_kernel
from .section import Row, figure, save

NAME = "noise"
ERRORS = [0.0, 0.003, 0.01, 0.03, 0.1]


def _depolarising(p):
    model = kn.NoiseModel()
    if p:
        model.add(kn.depolarizing(p))
    return model


def run(ctx):
    ctx.progress("the kernel SVC and amplitude estimation under depolarising noise")
    iris = load_iris()
    x = MinMaxScaler((0, 1)).fit_transform(iris.data[50:, 2:])
    x_train, x_test, y_train, y_test = train_test_split(x, iris.target[50:], test_size=0.5,
                                                        random_state=0, stratify=iris.target[50:])
    accuracy, contrast, errors = [], [], []
    for p in ERRORS:
        with kn.model(_depolarising(p)):
            qk = QuantumKernel_lumet(n_qbits=2)
            train, test = qk.evaluate(x_train), qk.evaluate(x_test, x_train)
            estimate = Melvo(sine_squared, 4, epsilon=2 ** -4).run()
        svc = SVC(kernel="precomputed").fit(train, y_train)
        accuracy.append(float(np.mean(svc.predict(test) == y_test)))
        off = train[~np.eye(len(train), dtype=bool)]
        contrast.append(float(np.mean(np.abs(off - 0.25))))
        errors.append(abs(estimate - SINE_SQUARED_EXACT))
    exact = float(np.mean(SVC(kernel="precomputed").fit(
        exact_kernel(x_train, x_train), y_train).predict(exact_kernel(x_test, x_train)) == y_test))
    fading = all(a > b for a, b in zip(contrast, contrast[1:]))
    # Noiseless: the sampled kernel within two of 50 test points of the exact one, the
    # estimate on its grid (within pi / 2^n_anc of the exact value in angle, about 0.1).
    agrees = abs(accuracy[0] - exact) <= 2 / len(y_test) and errors[0] <= 0.1 and fading
    row = Row("Noise: kernel SVC and amplitude estimation",
              "depolarising p after every gate, p = " + ", ".join(f"{p:g}" for p in ERRORS),
              "SVC accuracy " + " / ".join(f"{a:.2f}" for a in accuracy) +
              "; estimate error " + " / ".join(f"{e:.3f}" for e in errors),
              f"noiseless: accuracy {exact:.2f}, estimate on its grid; kernel entries "
              "fade towards 1/4 as p grows", agrees)
    with ctx.plotting():
        fig, (left, right) = figure(2, width=4.2)
        left.plot(ERRORS, accuracy, "o-", color="C0", label="SVC test accuracy")
        left.plot(ERRORS, np.array(contrast) / contrast[0], "s--", color="C1",
                  label="kernel contrast |K - 1/4|, relative")
        left.set_xscale("symlog", linthresh=0.003)
        left.set_xlabel("depolarising p per gate")
        left.set_title("quantum kernel SVC")
        left.legend(loc="lower left", fontsize="small")
        right.plot(ERRORS, errors, "o-", color="C3")
        right.set_xscale("symlog", linthresh=0.003)
        right.set_xlabel("depolarising p per gate")
        right.set_ylabel("|estimate - exact|")
        right.set_title("canonical amplitude estimation")
        save(fig, ctx.plot_path("noise_kernel_estimation.png"))
    return [row]
