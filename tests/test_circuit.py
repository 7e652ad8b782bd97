"""The Circuit class: construction limits, builders, argument conversion, OpenQASM input."""

import inspect

import numpy as np
import pytest

import nivra
from nivra import Circuit
from numpy_reference import GATES

# Every builder with its parameter names, in signature order.
BUILDERS = {
    "h": ["q"],
    "x": ["q"],
    "y": ["q"],
    "z": ["q"],
    "s": ["q"],
    "sdg": ["q"],
    "t": ["q"],
    "tdg": ["q"],
    "rx": ["theta", "q"],
    "ry": ["theta", "q"],
    "rz": ["theta", "q"],
    "p": ["theta", "q"],
    "u3": ["theta", "phi", "lam", "q"],
    "cx": ["control", "target"],
    "cz": ["q0", "q1"],
    "swap": ["q0", "q1"],
    "iswap": ["q0", "q1"],
    "crx": ["theta", "control", "target"],
    "cry": ["theta", "control", "target"],
    "crz": ["theta", "control", "target"],
    "cp": ["theta", "control", "target"],
    "ccx": ["c0", "c1", "target"],
    "ccz": ["q0", "q1", "q2"],
}


def call_builder(c, name, qubits, angle=0.25):
    n_angles = GATES[name][0]
    getattr(c, name)(*([angle] * n_angles), *qubits)


class TestConstruction:
    def test_clbits_default_to_qubits(self):
        assert (Circuit(3).num_qubits, Circuit(3).num_clbits) == (3, 3)
        assert Circuit(3, 0).num_clbits == 0
        assert Circuit(3, None).num_clbits == 3
        assert Circuit(num_qubits=2, num_clbits=5).num_clbits == 5
        assert Circuit(0).num_qubits == 0

    def test_limits(self):
        assert Circuit(65535).num_qubits == 65535
        assert Circuit(1, 65535).num_clbits == 65535
        with pytest.raises(ValueError, match=r"^too many qubits: requested 65536, max 65535$"):
            Circuit(65536)
        with pytest.raises(ValueError, match=r"^too many clbits: requested 65536, max 65535$"):
            Circuit(1, 65536)
        # The qubit count is checked first, and a default clbit count follows it.
        with pytest.raises(ValueError, match=r"^too many qubits: requested 70000, max 65535$"):
            Circuit(70000, 70000)
        with pytest.raises(ValueError, match=r"^too many qubits: requested 4294967295, max 65535$"):
            Circuit(2**32 - 1)

    def test_argument_conversion(self):
        with pytest.raises(OverflowError):
            Circuit(-1)
        with pytest.raises(OverflowError):
            Circuit(2**32)
        with pytest.raises(OverflowError):
            Circuit(1, -1)
        with pytest.raises(TypeError, match="num_qubits"):
            Circuit(2.0)
        with pytest.raises(TypeError, match="num_qubits"):
            Circuit("2")
        with pytest.raises(TypeError, match="num_clbits"):
            Circuit(2, 1.5)
        with pytest.raises(TypeError):
            Circuit()
        with pytest.raises(TypeError):
            Circuit(1, 2, 3)
        with pytest.raises(TypeError):
            Circuit(1, clbits=2)
        # __index__ is the integer protocol: bool and NumPy integers convert.
        assert Circuit(np.uint8(4)).num_qubits == 4
        assert Circuit(True).num_qubits == 1

    def test_class_shape(self):
        assert Circuit.__module__ == "builtins"
        assert Circuit.__doc__ == "A quantum circuit under construction."
        assert Circuit.__text_signature__ == "(num_qubits, num_clbits=None)"
        with pytest.raises(TypeError):

            class Sub(Circuit):  # noqa: F841 - the class statement itself must fail
                pass

    def test_text_signatures_and_docstrings(self):
        for name, params in BUILDERS.items():
            method = getattr(Circuit, name)
            assert method.__text_signature__ == "($self, " + ", ".join(params) + ")", name
            assert list(inspect.signature(getattr(Circuit(3), name)).parameters) == params
        assert Circuit.h.__doc__ == "Apply Hadamard to qubit `q`."
        assert Circuit.cx.__doc__ == "Apply CNOT with `control` and `target`."
        assert Circuit.measure.__text_signature__ == "($self, qubit, clbit)"
        assert Circuit.barrier.__text_signature__ == "($self, qubits)"
        assert Circuit.from_qasm.__text_signature__ == "(source)"
        assert Circuit.from_qasm_file.__text_signature__ == "(path)"


class TestBuilders:
    def test_every_builder_appends_one_gate(self):
        c = Circuit(4)
        for i, name in enumerate(BUILDERS):
            call_builder(c, name, [0, 1, 2][: GATES[name][1]])
            assert c.num_gates == i + 1

    def test_measure_and_barrier_are_not_gates(self):
        c = Circuit(2)
        c.cp(0.5, 0, 1)
        c.measure(0, 1)
        c.barrier([1, 0])
        assert c.num_gates == 1

    def test_keyword_arguments(self):
        c = Circuit(2)
        c.rx(theta=0.1, q=1)
        c.cx(target=0, control=1)
        c.u3(0.1, 0.2, lam=0.3, q=0)
        assert c.num_gates == 3
        with pytest.raises(TypeError, match="unexpected keyword argument 'qubit'"):
            c.h(qubit=0)
        with pytest.raises(TypeError, match="multiple values for argument 'q'"):
            c.h(0, q=0)
        with pytest.raises(TypeError, match="missing required argument 'target'"):
            c.cx(0)
        with pytest.raises(TypeError):
            c.h(0, 1)
        assert c.num_gates == 3

    @pytest.mark.parametrize(
        "name,qubits,named",
        [
            ("cx", (1, 1), 1),
            ("cz", (0, 0), 0),
            ("swap", (2, 2), 2),
            ("iswap", (1, 1), 1),
            ("crx", (2, 2), 2),
            ("cry", (0, 0), 0),
            ("crz", (1, 1), 1),
            ("cp", (2, 2), 2),
            ("ccx", (0, 2, 2), 2),
            ("ccx", (5, 3, 5), 5),
            ("ccz", (2, 7, 7), 7),
            ("ccz", (4, 4, 4), 4),
        ],
    )
    def test_duplicate_operands(self, name, qubits, named):
        c = Circuit(8)
        c.h(0)
        with pytest.raises(ValueError, match=rf"^duplicate qubit operand {named}$"):
            call_builder(c, name, qubits)
        assert c.num_gates == 1

    def test_duplicates_are_checked_before_the_qubit_range(self):
        c = Circuit(3)
        with pytest.raises(ValueError, match=r"^duplicate qubit operand 9$"):
            c.cx(9, 9)

    def test_range_errors_come_from_the_circuit(self):
        c = Circuit(3)
        with pytest.raises(ValueError, match=r"^qubit 5 out of range \(circuit has 3 qubits\)$"):
            c.h(5)
        with pytest.raises(ValueError, match=r"^qubit 3 out of range \(circuit has 3 qubits\)$"):
            c.cp(1.0, 0, 3)
        with pytest.raises(ValueError, match=r"^qubit 3 out of range \(circuit has 3 qubits\)$"):
            c.measure(3, 0)
        with pytest.raises(ValueError, match=r"^clbit 3 out of range \(circuit has 3 clbits\)$"):
            c.measure(0, 3)
        with pytest.raises(ValueError, match=r"^barrier must cover at least one qubit$"):
            c.barrier([])
        with pytest.raises(ValueError, match=r"^duplicate qubit index 1 in instruction$"):
            c.barrier([1, 2, 1])
        with pytest.raises(ValueError, match=r"^qubit 4 out of range \(circuit has 3 qubits\)$"):
            c.barrier((0, 4))
        assert c.num_gates == 0

    def test_argument_conversion(self):
        c = Circuit(3)
        with pytest.raises(TypeError, match="argument 'q'"):
            c.h(1.0)
        with pytest.raises(TypeError, match="argument 'q'"):
            c.h(np.float64(1))
        with pytest.raises(TypeError, match="argument 'theta'"):
            c.rx("0.5", 0)
        with pytest.raises(TypeError, match="argument 'target'"):
            c.cx(0, None)
        with pytest.raises(OverflowError):
            c.h(-1)
        with pytest.raises(OverflowError):
            c.h(2**32)
        # The first failing argument in signature order is reported.
        with pytest.raises(TypeError, match="argument 'theta'"):
            c.crx(None, None, 1)
        with pytest.raises(TypeError, match="argument 'qubits'"):
            c.barrier("01")
        with pytest.raises(TypeError, match="argument 'qubits'"):
            c.barrier(0)
        with pytest.raises(TypeError, match="argument 'qubits'"):
            c.barrier([0, 1.0])
        assert c.num_gates == 0
        # Ints, bools and NumPy numbers are accepted where they convert exactly.
        c.rx(1, np.int64(2))
        c.ry(np.float32(0.5), True)
        c.rz(np.float64(0.5), np.uint32(0))
        c.barrier(np.array([0, 2]))
        assert c.num_gates == 3

    def test_the_circuit_is_borrowed_while_arguments_convert(self):
        # __index__ / __float__ run Python code: a builder or run() it calls on
        # the same circuit meets the borrow taken before the conversions.
        c = Circuit(2)
        seen = []

        class Reentrant:
            def __init__(self, action):
                self.action = action

            def __index__(self):
                try:
                    self.action()
                except RuntimeError as e:
                    seen.append(str(e))
                return 0

            __float__ = lambda self: float(self.__index__())  # noqa: E731

        c.h(Reentrant(lambda: c.x(1)))
        c.rx(Reentrant(lambda: c.num_gates), 1)
        assert seen == ["Already mutably borrowed"] * 2
        assert c.num_gates == 2
        # run() reads the circuit shared: a builder is refused, a count is not.
        nivra.run(c, shots=Reentrant(lambda: c.h(0)), seed=1)
        nivra.run(c, shots=Reentrant(lambda: c.num_gates), seed=1)
        assert seen == ["Already mutably borrowed"] * 2 + ["Already borrowed"]
        assert c.num_gates == 2

    def test_angles_are_not_checked_when_building(self):
        c = Circuit(1)
        c.rx(float("nan"), 0)
        c.u3(float("inf"), 0, 0, 0)
        assert c.num_gates == 2

    def test_methods_refuse_other_objects_as_self(self):
        with pytest.raises(TypeError):
            Circuit.h(nivra.NoiseModel(), 0)


class TestOpenQasm:
    SOURCE = "OPENQASM 3.0;\ninclude \"stdgates.inc\";\nqubit[3] q;\nbit[2] c;\nh q[0];\ncx q[0], q[1];\n" \
             "p(0.5) q[2];\nmeasure q[0] -> c[1];\n"

    def test_from_qasm(self):
        c = Circuit.from_qasm(self.SOURCE)
        assert (c.num_qubits, c.num_clbits, c.num_gates) == (3, 2, 3)

    def test_parse_errors_carry_line_and_column(self):
        with pytest.raises(ValueError, match=r"^error at 3:3: undeclared register `r`$"):
            Circuit.from_qasm("OPENQASM 3.0;\nqubit[2] q;\nh r[0];\n")
        with pytest.raises(ValueError, match=r"^error at 3:3: index 5 out of bounds for register `q` of size 2$"):
            Circuit.from_qasm("OPENQASM 3.0;\nqubit[2] q;\nh q[5];\n")
        with pytest.raises(TypeError, match="argument 'source'"):
            Circuit.from_qasm(b"OPENQASM 3.0;")

    def test_from_qasm_file(self, tmp_path):
        path = tmp_path / "bell.qasm"
        path.write_text(self.SOURCE)
        c = Circuit.from_qasm_file(str(path))
        assert c.num_qubits == 3

    def test_file_read_failures_are_os_errors(self, tmp_path):
        missing = str(tmp_path / "missing.qasm")
        with pytest.raises(OSError) as err:
            Circuit.from_qasm_file(missing)
        assert str(err.value) == f"read {missing}: No such file or directory (os error 2)"
        assert type(err.value) is OSError

        binary = tmp_path / "latin1.qasm"
        binary.write_bytes(b"OPENQASM 3.0;\n// caf\xe9\n")
        with pytest.raises(OSError, match=r"stream did not contain valid UTF-8$") as err:
            Circuit.from_qasm_file(str(binary))
        assert str(err.value).startswith(f"read {binary}: ")

        with pytest.raises(OSError, match=r"^read .*: Is a directory \(os error 21\)$"):
            Circuit.from_qasm_file(str(tmp_path))

    def test_file_parse_errors_are_value_errors(self, tmp_path):
        path = tmp_path / "bad.qasm"
        path.write_text("OPENQASM 3.0;\nqubit[2] q;\nh r[0];\n")
        with pytest.raises(ValueError, match=r"^error at 3:3: undeclared register `r`$"):
            Circuit.from_qasm_file(str(path))
