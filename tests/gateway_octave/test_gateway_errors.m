function test_gateway_errors()
%TEST_GATEWAY_ERRORS  Every KorvexCUDA error through try/catch in Octave, the clear-memory
%   call, and a working reconstruction after each error.
  [seq, masks, otf] = gateway_inputs(8, 6, 3, 'single');
  ok = {seq, masks, otf, 3, 1e-4, 0.01, 0.1};
  format = "KorvexCUDA Requires either Single or Double Precision format!\n";
  usage = ["KorvexCUDA Invalid Amount of Input Parameters! \n #0 --> Image Sequence\n", ...
           " #1 --> Image Mask\n #2 --> OTF\n #3 --> Max Iteration Count\n", ...
           " #4 --> Convergence Threshold\n #5 --> Lambda\n #6 --> Alpha\n"];

  % The clear-memory call: one input of any kind and no output.
  KorvexCUDA(0);
  KorvexCUDA('anything');
  expect(1, @() KorvexCUDA({}), "KorvexCuda: Error no output allowed during request to clear memory!\n");

  expect(5, @() KorvexCUDA(0), "KorvexCUDA Too Many Output Arguments! Supported are [1 - 4]!\n");
  expect(5, @() KorvexCUDA(ok{:}), "KorvexCUDA Too Many Output Arguments! Supported are [1 - 4]!\n");
  for n = [0 2 6 8]
    args = [ok, ok];
    expect(1, @() KorvexCUDA(args{1:n}), usage);
  end

  % Scalar settings: class, emptiness, range; reported in the order #3, #4, #6, #5.
  bad = {int32(3), 'x', true, [], sparse(1)};
  names = {'Maximum amount of Iterations', 'Threshold', 'Alpha', 'Lambda'};
  for p = 1:4
    position = [4 5 7 6](p);
    for b = 1:numel(bad)
      args = ok; args{position} = bad{b};
      if b <= 3
        message = [format sprintf('KorvexCUDA Error Reading %s!\n', names{p})];
      else
        message = sprintf('KorvexCUDA Error: %s must not be empty or sparse!\n', names{p});
      end
      expect(1, @() KorvexCUDA(args{:}), message);
    end
  end
  args = ok; args{5} = int8(1); args{7} = 'a';
  expect(1, @() KorvexCUDA(args{:}), [format "KorvexCUDA Error Reading Threshold!\n"]);
  args = ok; args{6} = 'a'; args{7} = 'a';
  expect(1, @() KorvexCUDA(args{:}), [format "KorvexCUDA Error Reading Alpha!\n"]);
  for limit = {-1, 4294967296, NaN, Inf, single(-0.5)}
    args = ok; args{4} = limit{1};
    expect(1, @() KorvexCUDA(args{:}), ...
           "KorvexCUDA Error: Maximum amount of Iterations must be a number from 0 to 4294967295!\n");
  end
  for lambda = {NaN, -Inf, single(Inf)}
    args = ok; args{6} = lambda{1};
    expect(1, @() KorvexCUDA(args{:}), "KorvexCUDA Error: Lambda must be finite!\n");
  end

  % Data arrays: frame counts, shapes, classes, complexity.
  expect(1, @() KorvexCUDA(seq, masks(:, :, 1:2), otf, 3, 1e-4, 0.01, 0.1), ...
         "KorvexCuda: Error Sequence Size and Mask Size not equal!\n ");
  expect(1, @() KorvexCUDA(seq, masks(:, :, 1), otf, 3, 1e-4, 0.01, 0.1), ...
         "KorvexCuda: Error Sequence Size and Mask Size not equal!\n ");
  expect(1, @() KorvexCUDA(seq(1:7, :, :), masks, otf, 3, 1e-4, 0.01, 0.1), ...
         "KorvexCUDA Error: Image Sequence height and width differ from the OTF's!\n");
  expect(1, @() KorvexCUDA(seq, masks(:, 1:5, :), otf, 3, 1e-4, 0.01, 0.1), ...
         "KorvexCUDA Error: Image Mask height and width differ from the OTF's!\n");
  expect(1, @() KorvexCUDA(repmat(seq, [1 1 1 2]), masks, otf, 3, 1e-4, 0.01, 0.1), ...
         "KorvexCUDA Error: Image Sequence has more than 3 dimensions!\n");
  expect(1, @() KorvexCUDA(seq, repmat(masks, [1 1 1 2]), otf, 3, 1e-4, 0.01, 0.1), ...
         "KorvexCUDA Error: Image Mask has more than 3 dimensions!\n");
  expect(1, @() KorvexCUDA(seq, masks, repmat(otf, [1 1 2]), 3, 1e-4, 0.01, 0.1), ...
         "KorvexCUDA Error: OTF has more than 2 dimensions!\n");
  e = zeros(8, 6, 0, 'single');
  expect(1, @() KorvexCUDA(e, e, otf, 3, 1e-4, 0.01, 0.1), ...
         "KorvexCUDA Error: Empty image! Height, width and frame count must be at least 1!\n");
  e = zeros(0, 6, 'single');
  expect(1, @() KorvexCUDA(e, e, e, 3, 1e-4, 0.01, 0.1), ...
         "KorvexCUDA Error: Empty image! Height, width and frame count must be at least 1!\n");
  mixed = "KorvexCUDA ERROR: Expecting ALL data arrays to be either in single or double precision!\n";
  expect(1, @() KorvexCUDA(seq, masks, double(otf), 3, 1e-4, 0.01, 0.1), mixed);
  expect(1, @() KorvexCUDA(int16(seq), int16(masks), int16(otf), 3, 1e-4, 0.01, 0.1), mixed);
  expect(1, @() KorvexCUDA(complex(seq), masks, otf, 3, 1e-4, 0.01, 0.1), ...
         "KorvexCUDA Error: Complex data arrays are not supported!\n");
  s = sparse(double(otf));
  expect(1, @() KorvexCUDA(s, s, s, 3, 1e-4, 0.01, 0.1), ...
         "KorvexCUDA Error: Sparse data arrays are not supported!\n");

  % The first fault wins: output count, input count, settings, frames, classes.
  expect(5, @() KorvexCUDA(seq, masks), "KorvexCUDA Too Many Output Arguments! Supported are [1 - 4]!\n");
  expect(1, @() KorvexCUDA(seq, masks(:, :, 1:2), double(otf), 'x', 1e-4, 0.01, 0.1), ...
         [format "KorvexCUDA Error Reading Maximum amount of Iterations!\n"]);
  expect(1, @() KorvexCUDA(seq, masks(:, :, 1:2), double(otf), 3, 1e-4, 0.01, 0.1), ...
         "KorvexCuda: Error Sequence Size and Mask Size not equal!\n ");
end

% CALL with NOUT outputs must raise exactly MESSAGE, the text the gateway hands to
% mexErrMsgTxt: Octave shows it after the function name and drops one trailing line break.
% Every error must leave KorvexCUDA usable: the next reconstruction works.
function expect(nout, call, message)
  expected = message;
  if ~isempty(expected) && expected(end) == "\n"
    expected = expected(1:end - 1);
  end
  korvex_expect_error(call, ['KorvexCUDA: ' expected], 'outputs', nout);
  [seq, masks, otf] = gateway_inputs(4, 4, 1, 'double');
  x = KorvexCUDA(seq, masks, otf, 0, 0, 0, 0.1);
  assert(isequal(size(x), [4 4]), 'no reconstruction after the error');
end
