"""Plain aligned text tables for the terminal."""

from typing import List, Sequence, Union


def format_table(header: Sequence[str], rows: Sequence[Sequence[str]]) -> List[str]:
    widths = [len(cell) for cell in header]
    for row in rows:
        widths = [max(width, len(cell)) for width, cell in zip(widths, row)]

    def line(cells: Sequence[str]) -> str:
        return "  ".join(cell.ljust(width) for cell, width in zip(cells, widths)).rstrip()

    return [line(header)] + [line(row) for row in rows]


def format_shape(shape: Sequence[Union[int, str, None]]) -> str:
    """[?, 4] for a shape with a free first dimension, as the runtime writes
    it; [batch, 4] where the model names that dimension."""
    return "[" + ", ".join("?" if size is None or (isinstance(size, int) and size < 0) else str(size) for size in shape) + "]"
