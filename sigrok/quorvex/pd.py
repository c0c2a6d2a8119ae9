##
## Part of QuorvexEVM: the protocol decoder for the Quorvex evaluation board.
##

import sigrokdecode as srd

# A frame: sixteen read clocks (the held word on MISO), then sixteen write
# clocks (the new word on MOSI), bit 15 first in each half.
FRAME_CLOCKS = 32
WORD_BITS = 16

# The bits of the word the panel names, with the short names of its bit
# boxes: the mode bits, then the general-purpose outputs, which run against
# the order of their check boxes.
MODE_BITS = (
    (15, 'DC Servo Off', 'DC'),
    (14, 'CM Servo Enable', 'CM'),
    (13, 'ZC Enable', 'ZC'),
    (12, 'Over Range', 'OR'),
)
GPO_BITS = (
    (11, 'GPO4', 'D4'),
    (10, 'GPO3', 'D3'),
    (9, 'GPO2', 'D2'),
    (8, 'GPO1', 'D1'),
)
UNUSED_MASK = 0x00C0  # bits 7 and 6, always 0
GAIN_MASK = 0x003F
TOP_GAIN_CODE = 18  # the slider's top, 60 dB


def gain_db(code):
    '''The gain the panel's scale shows for a code: 0, 9, then 12 to 60 dB in
    steps of 3; None beyond the scale's top.'''
    if code > TOP_GAIN_CODE:
        return None
    return {0: 0, 1: 9}.get(code, 3 * code + 6)


def hex_word(word):
    return '%04Xh' % word


class Ann:
    READ_BACK, SENT, GAIN, MODE, GPO, WARNING = range(6)


class Decoder(srd.Decoder):
    api_version = 3
    id = 'quorvex'
    name = 'Quorvex'
    longname = 'Quorvex amplifier control word'
    desc = 'Gain and mode word of the Quorvex amplifier chip, read back and sent.'
    license = 'proprietary'
    inputs = ['spi']
    outputs = []
    tags = ['Audio', 'IC']
    annotations = (
        ('read-back', 'Word read back: the word the chip held'),
        ('sent', 'Word sent'),
        ('gain', 'Gain'),
        ('mode', 'Mode bit'),
        ('gpo', 'General-purpose output'),
        ('warning', 'Warning'),
    )
    annotation_rows = (
        ('words', 'Words', (Ann.READ_BACK, Ann.SENT)),
        ('fields', 'Fields', (Ann.GAIN, Ann.MODE, Ann.GPO)),
        ('warnings', 'Warnings', (Ann.WARNING,)),
    )

    def __init__(self):
        self.reset()

    def reset(self):
        self.mosi = []
        self.miso = []
        self.without_cs = False

    def start(self):
        self.out_ann = self.register(srd.OUTPUT_ANN)

    def decode(self, ss, es, data):
        ptype, mosi, miso = data
        if ptype == 'CS-CHANGE':
            # Without a CS# channel the SPI decoder says so once, with no
            # values, and frames are told apart by their length alone.
            if mosi is None and miso is None:
                self.without_cs = True
            self.end_frame()
        elif ptype == 'BITS':
            # Each packet holds one SPI word's bits, its last bit first.
            if mosi:
                self.mosi.extend(reversed(mosi))
            if miso:
                self.miso.extend(reversed(miso))
            if self.without_cs and len(self.mosi or self.miso) >= FRAME_CLOCKS:
                self.end_frame()

    def end_frame(self):
        mosi, miso = self.mosi, self.miso
        self.mosi, self.miso = [], []
        bits = mosi or miso
        if not bits:
            return
        if len(bits) != FRAME_CLOCKS:
            self.put(bits[0][1], bits[-1][2], self.out_ann,
                     [Ann.WARNING, ['Frame of %d clocks, not %d' % (len(bits), FRAME_CLOCKS),
                                    '%d clocks' % len(bits)]])
            return
        if miso:
            self.word(Ann.READ_BACK, 'Read back', miso[:WORD_BITS])
        if mosi:
            sent = mosi[WORD_BITS:]
            self.word(Ann.SENT, 'Sent', sent)
            self.fields(sent)

    def word(self, ann, label, bits):
        word = self.value(bits, 15, 0)
        self.put(bits[0][1], bits[-1][2], self.out_ann,
                 [ann, ['%s %s' % (label, hex_word(word)), hex_word(word)]])

    @staticmethod
    def value(bits, high, low):
        '''The value of word bits high..low; bits holds bit 15 first.'''
        value = 0
        for bit in range(high, low - 1, -1):
            value = (value << 1) | bits[15 - bit][0]
        return value

    def field(self, bits, high, low, ann, texts):
        self.put(bits[15 - high][1], bits[15 - low][2], self.out_ann, [ann, texts])

    def fields(self, bits):
        for bit, name, short in MODE_BITS:
            on = bits[15 - bit][0]
            self.field(bits, bit, bit, Ann.MODE, ['%s: %d' % (name, on), '%s %d' % (short, on)])
        for bit, name, short in GPO_BITS:
            on = bits[15 - bit][0]
            self.field(bits, bit, bit, Ann.GPO, ['%s: %d' % (name, on), '%s %d' % (short, on)])
        unused = self.value(bits, 7, 6)
        if unused:
            self.field(bits, 7, 6, Ann.WARNING,
                       ['Bits 7 and 6 are {:02b}, not 00'.format(unused), '{:02b}'.format(unused)])
        code = self.value(bits, 5, 0)
        db = gain_db(code)
        if db is None:
            texts = ['Gain code %02Xh, beyond 60 dB' % code, '%02Xh' % code]
        else:
            texts = ['Gain %d dB (code %02Xh)' % (db, code), '%d dB' % db]
        self.field(bits, 5, 0, Ann.GAIN, texts)
