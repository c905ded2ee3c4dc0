"""Programs: the flat sequences of steps that fused tasks run (see tasks.py), and how they run.

A step calls one function (a kernel, or a stage member's user function) on consts, perhaps
the partition, and earlier slots; its result fills the next slot, after the task's inputs.
Once a step has returned, the slots no later step reads are emptied, so a chain holds one
partition's intermediate values at a time.

Most of a run's time beyond the user's functions is spent stepping through programs. A call
through argument unpacking (fn(*consts, *map(slot, refs))) costs four times what the step's
call costs on its own, so each step is stored in the form of its call: a step of one const
and one or two slots, with or without the partition, is called as written, and only other
steps go through the unpacking.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any, TypeAlias

from korvane.run.errors import blame
from korvane.run.kernels import member_where

if TYPE_CHECKING:
    from korvane.run.plan import StageRecipe


# How a step is called, given its const (or consts), the partition and the slots it reads:
ONE = 1              # fn(const, s[a])
TWO = 2              # fn(const, s[a], s[b])
PART_ONE = 3         # fn(const, partition, s[a])
PART_TWO = 4         # fn(const, partition, s[a], s[b])
ANY = 0              # fn(*consts, *s[refs])
PART_ANY = 5         # fn(*consts, partition, *s[refs])

# (fn, const or consts, how, a or refs, b, drops)
ProgramStep: TypeAlias = tuple[Callable[..., Any], Any, int, Any, int, tuple[int, ...]]


def step(fn: Callable[..., Any], consts: tuple[Any, ...], with_partition: bool,
         refs: tuple[int, ...], drops: tuple[int, ...]) -> ProgramStep:
    """The step calling fn(*consts, [partition,] *slots[refs]), in the form it runs in."""
    if len(consts) == 1 and 1 <= len(refs) <= 2:
        how = (PART_ONE if with_partition else ONE) if len(refs) == 1 else \
            (PART_TWO if with_partition else TWO)
        return (fn, consts[0], how, refs[0], refs[-1], drops)
    return (fn, consts, PART_ANY if with_partition else ANY, refs, 0, drops)


class Program:
    """The steps one fused task runs, in order, for any partition. Per step, `stages` and
    `members` name the stage member it calls, by its stage's recipe and its index (None and
    0 for a kernel, which names its node itself on every exception), so that an exception
    from a member's function says where it came from."""

    __slots__ = ("steps", "stages", "members")

    def __init__(self, steps: tuple[ProgramStep, ...], stages: tuple[StageRecipe | None, ...],
                 members: tuple[int, ...]) -> None:
        assert steps and len(stages) == len(steps) == len(members)
        self.steps = steps
        self.stages = stages
        self.members = members

    def __reduce__(self) -> tuple[Any, ...]:
        return Program, (self.steps, self.stages, self.members)

    def __repr__(self) -> str:
        return f"Program({len(self.steps)} steps)"

    @property
    def recipe(self) -> Any:
        """The recipe of the node whose value the program computes: its last step's."""
        stage = self.stages[-1]
        if stage is not None:
            return stage
        _, const, how, _, _, _ = self.steps[-1]
        if how in (ANY, PART_ANY):
            return const[0] if const else None
        return const


class Assembler:
    """A program put together step by step. A slot's drop goes to the last step that reads
    it, known once every step is in."""

    def __init__(self, inputs: int) -> None:
        self.inputs = inputs
        self.steps: list[list[Any]] = []
        self.stages: list[StageRecipe | None] = []
        self.members: list[int] = []
        # Per slot, the last step reading it so far.
        self.last_read: dict[int, int] = {}

    def call(self, fn: Callable[..., Any], consts: tuple[Any, ...], with_partition: bool,
             refs: tuple[int, ...]) -> int:
        """A kernel's step; returns the slot of its result."""
        k = len(self.steps)
        for r in refs:
            self.last_read[r] = k
        self.steps.append(list(step(fn, consts, with_partition, refs, ())))
        self.stages.append(None)
        self.members.append(0)
        return self.inputs + k

    def member(self, fn: Callable[..., Any], params: Any, refs: Sequence[int],
               stage: StageRecipe, index: int) -> int:
        """A stage member's step, fn(params, *slots[refs]); returns the slot of its result.
        Kept apart from call (and cheap): a plan has a step per member."""
        k = len(self.steps)
        last_read = self.last_read
        for r in refs:
            last_read[r] = k
        if len(refs) == 1:
            self.steps.append([fn, params, ONE, refs[0], 0, ()])
        elif len(refs) == 2:
            self.steps.append([fn, params, TWO, refs[0], refs[1], ()])
        else:
            self.steps.append([fn, (params,), ANY, tuple(refs), 0, ()])
        self.stages.append(stage)
        self.members.append(index)
        return self.inputs + k

    def program(self) -> Program:
        steps = self.steps
        for slot, k in self.last_read.items():
            steps[k][5] += (slot,)
        return Program(tuple(map(tuple, steps)), tuple(self.stages),
                       tuple(self.members))


def run_program(program: Program, partition: int | None, *inputs: Any) -> Any:
    """A fused task: runs the program's steps on its inputs and returns the last one's value."""
    slots = list(inputs)
    result = None
    try:
        for fn, const, how, a, b, drops in program.steps:
            # The arguments live in the call alone, so a dropped slot's value is freed when
            # the step that read it last returns.
            if how == ONE:
                result = fn(const, slots[a])
            elif how == TWO:
                result = fn(const, slots[a], slots[b])
            elif how == PART_ONE:
                result = fn(const, partition, slots[a])
            elif how == PART_TWO:
                result = fn(const, partition, slots[a], slots[b])
            elif how == ANY:
                result = fn(*const, *map(slots.__getitem__, a))
            else:
                result = fn(*const, partition, *map(slots.__getitem__, a))
            slots.append(result)
            if drops:
                for d in drops:
                    slots[d] = None
    except Exception as error:
        # The failing step is the first whose result is missing.
        failed = len(slots) - len(inputs)
        stage = program.stages[failed]
        if stage is None:
            raise
        blame(error, member_where(stage, program.members[failed], partition))
    return result
